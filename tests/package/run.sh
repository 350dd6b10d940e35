#!/usr/bin/env bash
# The installed libraries, as an application outside this repository sees them (make
# package-test). For a static build (the default) and a shared one:
#   1. build the libraries without Python, install the Runtime and Development
#      components, then move the installed tree elsewhere (it must not depend on
#      where it was installed);
#   2. check the tree holds exactly the public headers, the libraries, the CMake
#      package and the pkg-config files, and that every header compiles on its own;
#   3. build every examples/cpp/*.cpp and examples/c/*.c from a copy outside the
#      source tree, once with find_package(tarnwick CONFIG) and once with pkg-config,
#      the C ones also from a C-only CMake project, and run each program (each exits
#      0 once it reached Data);
#   4. check that the master's and the virtual slave's libraries define no global
#      symbol in common, and, when shared, their SONAMEs and what links what; and
#      which versions find_package(tarnwick X.Y) accepts.
# The libraries are built in build/package/<kind>; everything else lives in a
# temporary folder that is removed at the end.
set -euo pipefail
export LC_ALL=C # one collation for sort and join

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${PACKAGE_BUILD:-$root/build/package}
jobs=${JOBS:-2}
CC=${CC:-cc}
CXX=${CXX:-c++}
work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() {
    echo "package-test: $*" >&2
    exit 1
}
for tool in cmake ctest pkg-config nm readelf c++filt "$CC" "$CXX"; do
    command -v "$tool" >/dev/null || fail "$tool not found (pkg-config: apt-get install pkgconf)"
done

version=$(sed -n 's/^version *= *"\([0-9]*\.[0-9]*\.[0-9]*\).*"/\1/p' "$root/pyproject.toml")
[ -n "$version" ] || fail "no X.Y.Z version in pyproject.toml"
major=${version%%.*}
minor=${version#*.}
minor=${minor%%.*}
# The ABI's number in the SONAME: the major version.
soversion=$major

# The consumer: the examples and their CMake project, copied where no path leads back
# into the repository.
consumer=$work/consumer
mkdir -p "$consumer"
cp "$root/examples/CMakeLists.txt" "$consumer/"
for lang in cpp c; do
    if compgen -G "$root/examples/$lang/*.$lang" >/dev/null; then
        mkdir -p "$consumer/$lang"
        cp "$root/examples/$lang/"*."$lang" "$consumer/$lang/"
    fi
done
examples=$(cd "$consumer" && ls cpp/*.cpp c/*.c 2>/dev/null || true)
[ -n "$examples" ] || fail "no example under examples/cpp or examples/c"

# Everything an install holds, relative to its prefix, one path a line.
expected_tree() { # kind libdir
    local kind=$1 libdir=$2 header
    for header in "$root"/include/tarnwick/*.h "$root"/include/tarnwick/*.hpp; do
        [ -e "$header" ] && echo "include/tarnwick/${header##*/}"
    done
    echo "include/tarnwick/version.h" # generated
    for name in tarnwickConfig tarnwickConfigVersion tarnwickTargets tarnwickTargets-release; do
        echo "$libdir/cmake/tarnwick/$name.cmake"
    done
    echo "$libdir/pkgconfig/tarnwick.pc"
    echo "$libdir/pkgconfig/tarnwick-virtual-slave.pc"
    for lib in tarnwick tarnwick_virtual_slave; do
        if [ "$kind" = shared ]; then
            printf '%s\n' "$libdir/lib$lib.so" "$libdir/lib$lib.so.$soversion" "$libdir/lib$lib.so.$version"
        else
            echo "$libdir/lib$lib.a"
        fi
    done
}

check_tree() { # prefix kind libdir
    local prefix=$1 kind=$2 libdir=$3
    diff -u <(expected_tree "$kind" "$libdir" | sort) \
        <(cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort) ||
        fail "[$kind] the installed tree differs from the expected one (- expected, + installed)"
}

# Each public header compiles alone: C++ headers as C++17, C headers as C11 and C++17.
check_headers() { # prefix kind
    local prefix=$1 kind=$2 header name
    for header in "$prefix"/include/tarnwick/*; do
        name=tarnwick/${header##*/}
        printf '#include <%s>\n' "$name" |
            "$CXX" -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I"$prefix/include" -x c++ - ||
            fail "[$kind] $name does not compile on its own as C++"
        if [[ $name == *.h ]]; then
            printf '#include <%s>\n' "$name" |
                "$CC" -std=c11 -Wall -Wextra -Werror -fsyntax-only -I"$prefix/include" -x c - ||
                fail "[$kind] $name does not compile on its own as C"
        fi
    done
}

run_example() { # kind how program
    local kind=$1 how=$2 program=$3 status=0
    "$program" >"$program.out" 2>&1 || status=$?
    if [ "$status" != 0 ]; then
        cat "$program.out" >&2
        fail "[$kind] $how: ${program##*/} exited with status $status"
    fi
}

# (a) find_package(tarnwick CONFIG) with CMAKE_PREFIX_PATH; ctest runs every program.
consume_with_cmake() { # prefix kind libdir
    local prefix=$1 kind=$2 libdir=$3 out=$work/$2-cmake
    cmake -S "$consumer" -B "$out" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_C_FLAGS=-Werror -DCMAKE_CXX_FLAGS=-Werror >/dev/null
    local found
    found=$(sed -n 's/^tarnwick_DIR:PATH=//p' "$out/CMakeCache.txt")
    [ "$found" = "$prefix/$libdir/cmake/tarnwick" ] ||
        fail "[$kind] find_package took the package from '$found', not from $prefix"
    cmake --build "$out" -j "$jobs" >/dev/null || fail "[$kind] find_package: the examples do not build"
    ctest --test-dir "$out" --no-tests=error --output-on-failure >/dev/null ||
        fail "[$kind] find_package: an example failed (ctest --test-dir $out)"
    if [ "$kind" = shared ]; then
        local program
        for program in "$out"/c_* "$out"/cpp_*; do
            [ -x "$program" ] || continue
            check_needed "$program"
        done
    fi
}

# (a') the C examples from a C-only project (project(app C), no C++ compiler
# enabled): the package brings the C++ runtime a static build needs.
consume_from_c_only() { # prefix kind
    local prefix=$1 kind=$2 src=$work/c-only out=$work/$2-c-only
    mkdir -p "$src"
    cp -r "$consumer/c" "$src/"
    cat >"$src/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.18...3.31)
project(c_only LANGUAGES C)
find_package(tarnwick CONFIG REQUIRED)
enable_testing()
file(GLOB sources ${CMAKE_CURRENT_SOURCE_DIR}/c/*.c)
foreach(source ${sources})
  get_filename_component(name ${source} NAME_WE)
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE tarnwick::tarnwick tarnwick::virtual_slave)
  set_target_properties(${name} PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
  add_test(NAME ${name} COMMAND ${name})
endforeach()
get_property(languages GLOBAL PROPERTY ENABLED_LANGUAGES)
if("CXX" IN_LIST languages)
  message(FATAL_ERROR "C++ was enabled in a C-only project")
endif()
CMAKE
    cmake -S "$src" -B "$out" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" >/dev/null || fail "[$kind] C-only project: configure failed"
    cmake --build "$out" -j "$jobs" >/dev/null || fail "[$kind] C-only project: the C examples do not build"
    ctest --test-dir "$out" --no-tests=error --output-on-failure >/dev/null ||
        fail "[$kind] C-only project: an example failed (ctest --test-dir $out)"
}

# (b) pkg-config, with nothing but this prefix on its search path.
consume_with_pkg_config() { # prefix kind libdir
    local prefix=$1 kind=$2 libdir=$3 out=$work/$2-pkg-config flags source program
    mkdir -p "$out"
    export PKG_CONFIG_LIBDIR=$prefix/$libdir/pkgconfig
    [ "$(pkg-config --modversion tarnwick)" = "$version" ] ||
        fail "[$kind] pkg-config gives tarnwick $(pkg-config --modversion tarnwick), not $version"
    if [ "$kind" = shared ]; then
        flags=$(pkg-config --cflags --libs tarnwick tarnwick-virtual-slave)
    else
        flags=$(pkg-config --cflags --libs --static tarnwick tarnwick-virtual-slave)
    fi
    unset PKG_CONFIG_LIBDIR
    for source in $examples; do
        program=$out/$(basename "${source%.*}")_${source##*.}
        # shellcheck disable=SC2086 # the flags are words
        case $source in
        *.c) "$CC" -std=c11 -Wall -Wextra -Werror -o "$program" "$consumer/$source" $flags ;;
        *.cpp) "$CXX" -std=c++17 -Wall -Wextra -Werror -o "$program" "$consumer/$source" $flags ;;
        esac || fail "[$kind] pkg-config: $source does not build with: $flags"
        if [ "$kind" = shared ]; then
            check_needed "$program"
            LD_LIBRARY_PATH=$prefix/$libdir run_example "$kind" pkg-config "$program"
        else
            ! readelf -d "$program" | grep -q 'NEEDED.*libtarnwick' ||
                fail "[$kind] ${program##*/} needs a shared libtarnwick"
            run_example "$kind" pkg-config "$program"
        fi
    done
}

# A program linked with the shared libraries needs them by their SONAMEs: the
# master's at least (every example runs a master), the slave's if it needs it at all.
check_needed() { # binary
    local binary=$1 ours
    ours=$(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(libtarnwick.*\)\]/\1/p')
    if ! grep -qxF "libtarnwick.so.$soversion" <<<"$ours" ||
        grep -qvxE "libtarnwick(_virtual_slave)?\.so\.${soversion//./\\.}" <<<"$ours"; then
        fail "[shared] ${binary##*/} needs: ${ours//$'\n'/ } (expected libtarnwick.so.$soversion, maybe libtarnwick_virtual_slave.so.$soversion)"
    fi
}

# The master and the virtual slave are separate implementations: no global symbol of
# one may be defined by the other. Weak copies of the C++ runtime's templates and the
# compiler's own helpers are the only ones both may carry.
check_symbols() { # kind master slave nm-option
    local kind=$1 master=$2 slave=$3 opt=$4 clashes
    defined() { nm "$opt" --defined-only "$1" | awk 'NF == 3 { print $3, $2 }' | sort -u -k1,1; }
    clashes=$(join <(defined "$master") <(defined "$slave") | while read -r name t1 t2; do
        if [[ $t1$t2 =~ ^[WwVvu]+$ ]]; then
            [[ $name == DW.ref.* ]] && continue
            [[ $(c++filt "$name") =~ ^((typeinfo|typeinfo\ name|vtable|VTT|guard\ variable)\ for\ )?(std|__gnu_cxx|__cxxabiv1):: ]] && continue
        fi
        echo "  $t1/$t2 $(c++filt "$name")"
    done)
    [ -z "$clashes" ] || fail "[$kind] symbols defined by both libraries:
$clashes"
}

# The package's version file: the same major version, from the asked-for minor up.
check_package_version() { # prefix
    local prefix=$1 asked expect found probe=$work/version
    mkdir -p "$probe"
    cat >"$probe/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.18...3.31)
project(version_probe NONE)
find_package(tarnwick ${ASKED} CONFIG QUIET)
if(tarnwick_FOUND)
  file(WRITE ${CMAKE_BINARY_DIR}/found TRUE)
else()
  file(WRITE ${CMAKE_BINARY_DIR}/found FALSE)
endif()
CMAKE
    local cases=("$major.$minor TRUE" "$major.$((minor + 1)) FALSE" "$((major + 1)).0 FALSE"
        "$major.0 TRUE")
    [ "$major" = 0 ] || cases+=("$((major - 1)).0 FALSE")
    for case in "${cases[@]}"; do
        read -r asked expect <<<"$case"
        rm -rf "$probe/build"
        cmake -S "$probe" -B "$probe/build" -DCMAKE_PREFIX_PATH="$prefix" -DASKED="$asked" >/dev/null
        found=$(cat "$probe/build/found")
        [ "$found" = "$expect" ] ||
            fail "find_package(tarnwick $asked) against $version: found '$found', expected $expect"
    done
}

check_shared_objects() { # prefix libdir
    local prefix=$1 libdir=$2 lib soname
    for lib in tarnwick tarnwick_virtual_slave; do
        soname=$(readelf -d "$prefix/$libdir/lib$lib.so.$version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
        [ "$soname" = "lib$lib.so.$soversion" ] || fail "[shared] lib$lib's SONAME is '$soname', not lib$lib.so.$soversion"
        [ "$(readlink "$prefix/$libdir/lib$lib.so")" = "lib$lib.so.$soversion" ] &&
            [ "$(readlink "$prefix/$libdir/lib$lib.so.$soversion")" = "lib$lib.so.$version" ] ||
            fail "[shared] lib$lib.so -> lib$lib.so.$soversion -> lib$lib.so.$version links are wrong"
    done
    ! readelf -d "$prefix/$libdir/libtarnwick_virtual_slave.so.$version" | grep -q 'NEEDED.*libtarnwick\.so' ||
        fail "[shared] the virtual slave's library needs the master's"
}

package_test() { # kind shared libdir
    local kind=$1 shared=$2 libdir=$3 lib_build=$build/$1 staged=$work/$1-staged prefix=$work/$1-prefix
    echo "== package-test [$kind]: libraries in $lib_build, installed under $libdir"
    cmake -S "$root" -B "$lib_build" -DFSOE_BUILD_PYTHON=OFF -DFSOE_BUILD_TESTS=OFF \
        -DFSOE_BUILD_BENCHMARKS=OFF -DBUILD_SHARED_LIBS="$shared" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_LIBDIR="$libdir" >/dev/null
    cmake --build "$lib_build" -j "$jobs" >/dev/null
    for component in Runtime Development; do
        cmake --install "$lib_build" --prefix "$staged" --component "$component" >/dev/null
    done
    mv "$staged" "$prefix"

    check_tree "$prefix" "$kind" "$libdir"
    check_headers "$prefix" "$kind"
    if [ "$kind" = shared ]; then
        check_shared_objects "$prefix" "$libdir"
        check_symbols "$kind" "$prefix/$libdir/libtarnwick.so" "$prefix/$libdir/libtarnwick_virtual_slave.so" -D
    else
        check_symbols "$kind" "$prefix/$libdir/libtarnwick.a" "$prefix/$libdir/libtarnwick_virtual_slave.a" -g
    fi
    [ "$kind" = shared ] || check_package_version "$prefix"
    consume_with_cmake "$prefix" "$kind" "$libdir"
    consume_from_c_only "$prefix" "$kind"
    consume_with_pkg_config "$prefix" "$kind" "$libdir"
    echo "   ok: $(wc -w <<<"$examples") example(s), find_package and pkg-config"
}

# The shared build goes to the multiarch folder where the compiler has one
# (lib/x86_64-linux-gnu), so the pkg-config files' way up to the prefix is tested
# with more than two steps.
multiarch=$("$CC" -print-multiarch 2>/dev/null || true)
package_test static OFF lib
package_test shared ON "lib${multiarch:+/$multiarch}"
echo "package-test: passed"
