// The one translation unit that holds doctest's runner for every native test binary.
#define DOCTEST_CONFIG_IMPLEMENT_WITH_MAIN
#include <doctest/doctest.h>
