#!/usr/bin/env bash
# The package as a host uses it: the build installed under a fresh prefix
# (not the one it was configured for), every installed header compiled from
# the install alone, the README's example built with pkg-config and with
# find_package and run, and the installed vqtool run without LD_LIBRARY_PATH.
# Each check also makes sure that what it used came from this prefix and not
# from a copy installed elsewhere on the machine.
set -u
cmake="$1" build="$2" libdir="$3" bindir="$4" cxx="$5" example="$6" consumer="$7"
shift 7 # the rest: file names of the private headers
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
show() { sed 's/^/    /' "$1"; }

if ! "$cmake" --install "$build" --prefix "$prefix" > "$work/install.txt" 2>&1; then
    show "$work/install.txt"
    echo "FAIL: install"
    exit 1
fi

# Headers: public ones only, and together they compile from the install alone.
for name in "$@"; do
    [ ! -e "$prefix/include/vq81/$name" ] || fail "private header $name was installed"
done
export PKG_CONFIG_LIBDIR="$prefix/$libdir/pkgconfig" # this install, not the machine's
unset PKG_CONFIG_PATH
cflags=$(pkg-config --cflags vq81) || fail "pkg-config --cflags"
for h in "$prefix"/include/vq81/*.h; do
    echo "#include <vq81/$(basename "$h")>"
done > "$work/all_headers.cpp"
# shellcheck disable=SC2086 # the flags are words
"$cxx" -std=c++20 -fsyntax-only $cflags "$work/all_headers.cpp" > "$work/headers.txt" 2>&1 ||
    { show "$work/headers.txt"; fail "the installed headers do not compile together"; }

# Runs a built example and checks that it did what the README says it does.
check_example() {
    local what="$1"
    shift
    if ! "$@" "$work/$what.vq" > "$work/run.txt" 2>&1; then
        show "$work/run.txt"
        fail "$what: the example exited with a failure"
    elif ! grep -q '^VqPartition "assembly"' "$work/run.txt" || ! grep -q '^VqNode "bracket"' "$work/run.txt"; then
        show "$work/run.txt"
        fail "$what: unexpected output"
    fi
}

# pkg-config, with the README's command line. The program carries no run path,
# so it is run as a host runs one built against a library outside the loader's
# default directories.
cp "$example" "$work/example.cpp"
# shellcheck disable=SC2046 # the flags are words
if "$cxx" -std=c++20 "$work/example.cpp" $(pkg-config --cflags --libs vq81) -o "$work/example_pc" \
    -MD -MF "$work/example_pc.d" > "$work/pc.txt" 2>&1; then
    grep -o '[^ ]*/vq81/[^ ]*' "$work/example_pc.d" | grep -v "^$prefix/" > "$work/foreign.txt" &&
        { show "$work/foreign.txt"; fail "pkg-config: headers from outside the prefix"; }
    check_example "pkg-config" env LD_LIBRARY_PATH="$prefix/$libdir" "$work/example_pc"
else
    show "$work/pc.txt"
    fail "pkg-config: the example does not build"
fi

# find_package, from a project that knows nothing but the prefix.
if "$cmake" -S "$consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" \
    -DVQ_EXAMPLE="$work/example.cpp" > "$work/cmake.txt" 2>&1 &&
    "$cmake" --build "$work/consumer" >> "$work/cmake.txt" 2>&1; then
    grep -q "^Vq81_DIR:PATH=$prefix/" "$work/consumer/CMakeCache.txt" ||
        fail "find_package: the package was found outside the prefix"
    check_example "find_package" env -u LD_LIBRARY_PATH "$work/consumer/example"
else
    show "$work/cmake.txt"
    fail "find_package: the example does not build"
fi

# vqtool finds the library of its own prefix through its run path.
vqtool="$prefix/$bindir/vqtool"
loaded=$(env -u LD_LIBRARY_PATH ldd "$vqtool" | awk '/libVq81\.so/ && $3 ~ /^\// { print $3 }')
[ -n "$loaded" ] && [ "$(realpath "$(dirname "$loaded")")" = "$(realpath "$prefix/$libdir")" ] ||
    fail "vqtool does not load the library of its prefix (${loaded:-none})"
env -u LD_LIBRARY_PATH "$vqtool" demo > "$work/demo.txt" 2>&1 || { show "$work/demo.txt"; fail "vqtool demo"; }

# The exchange library, where it is built, comes with its own pkg-config file.
if [ -e "$prefix/$libdir/pkgconfig/vq81-exchange.pc" ]; then
    pkg-config --libs vq81-exchange | grep -q -- "-lVq81Exchange" || fail "pkg-config vq81-exchange: no -lVq81Exchange"
    [ -e "$prefix/include/vq81/VqImporter.h" ] || fail "the exchange headers were not installed"
fi

[ "$failures" -eq 0 ] && echo "the install under a fresh prefix serves pkg-config, find_package and vqtool"
exit "$failures"
