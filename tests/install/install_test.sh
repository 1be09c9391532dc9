#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, builds examples/sio_echo.cpp as an
# application outside the tree against the installed package (with CMake's
# find_package, or with pkg-config), and runs it on a pseudo-terminal pair.
# Usage: install_test.sh cmake|pkg-config <cmake> <build dir> <source dir> <c++> <python3> [flags]
# The flags (the build's sanitizer flags) go into the application's compile and link.
# Exits 77 ("skipped") when a tool it needs is missing.
set -euo pipefail

mode=$1 cmake=$2 build=$3 source=$4 cxx=$5 python=$6 flags=${7:-}
here=$(cd "$(dirname "$0")" && pwd)

skip() {
  echo "skipped: $*"
  exit 77
}
[ -x "$python" ] || skip "python3 not found (it plays the device on the pseudo-terminal)"
if [ "$mode" = pkg-config ]; then
  command -v pkg-config >/dev/null || skip "pkg-config not installed (tools/install-deps installs it)"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tavo-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

# Runs a step quietly, showing its output only when it fails.
step() {
  local what=$1
  shift
  if ! "$@" >"$work/step.log" 2>&1; then
    cat "$work/step.log"
    echo "FAILED: $what"
    exit 1
  fi
}

step "cmake --install" "$cmake" --install "$build" --prefix "$prefix"

# What an application needs is there, and the library's internal header is not.
need() {
  local found
  found=$(cd "$prefix" && find . -path "./$1" | head -n 1)
  [ -n "$found" ] || { echo "FAILED: nothing installed at $1"; exit 1; }
}
need bin/tavo
need "lib*/libsio.a"
need include/sio/serial/sio.h
need "lib*/cmake/Sio/SioConfig.cmake"
need "lib*/pkgconfig/sio.pc"
need "share/man/man1/tavo.1*"
if [ -n "$(find "$prefix" -name port_table.h)" ]; then
  echo "FAILED: the internal header port_table.h was installed"
  exit 1
fi

program=$work/sio_echo
if [ "$mode" = cmake ]; then
  step "configure the application" "$cmake" -S "$here/consumer" -B "$work/app" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSIO_ECHO_SOURCE="$source/examples/sio_echo.cpp"
  step "build the application" "$cmake" --build "$work/app"
  program=$work/app/sio_echo
else
  pcdir=$(dirname "$(find "$prefix" -name sio.pc | head -n 1)")
  export PKG_CONFIG_LIBDIR=$pcdir PKG_CONFIG_PATH=
  step "pkg-config --cflags --libs sio" pkg-config --cflags --libs sio
  # shellcheck disable=SC2046,SC2086  # the flags are lists of words
  step "build the application" "$cxx" -std=c++17 -Wall -Wextra -Werror $flags \
    $(pkg-config --cflags sio) "$source/examples/sio_echo.cpp" -o "$program" \
    $(pkg-config --libs sio)
fi

"$python" "$here/echo_on_pty.py" "$program"
