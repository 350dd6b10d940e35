# Fails when the first C code block of docs/c-api.md is not the text of
# examples/c/master_with_virtual_slave.c, which ctest compiles and runs: the program
# the page shows is then the one that is known to work.
# cmake -DDOC=... -DEXAMPLE=... -P this file.
file(READ ${DOC} doc)
file(READ ${EXAMPLE} example)
string(FIND "${doc}" "```c\n" start)
if(start EQUAL -1)
  message(FATAL_ERROR "no C code block in ${DOC}")
endif()
math(EXPR start "${start} + 5")
string(SUBSTRING "${doc}" ${start} -1 rest)
string(FIND "${rest}" "```" end)
string(SUBSTRING "${rest}" 0 ${end} block)
if(NOT block STREQUAL example)
  message(FATAL_ERROR "the C example in ${DOC} differs from ${EXAMPLE}")
endif()
