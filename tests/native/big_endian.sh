#!/usr/bin/env bash
# tests/native/big_endian.sh: the layers without Python and their native tests, cross-built for s390x (a
# big-endian host) and run under qemu's user-mode emulation. The Solr bodies must decode to exactly the lines
# the same program prints when built for this host, so the byte order is tested rather than assumed.
#
# Usage: tests/native/big_endian.sh PYTHON (an interpreter with the build requirements, to find nanoarrow).
# `make test-big-endian` installs the cross compiler and qemu first; without them this skips, saying why.
set -euo pipefail
cd "$(dirname "$0")/../.."
python=$1
for tool in s390x-linux-gnu-g++ qemu-s390x cmake ninja; do
    if ! command -v "$tool" >/dev/null && ! [ -x "$(dirname "$python")/$tool" ]; then
        echo "test-big-endian: SKIPPED: $tool is not installed (make test-big-endian installs g++-s390x-linux-gnu and qemu-user with apt-get)"
        exit 0
    fi
done
export PATH="$(cd "$(dirname "$python")" && pwd):$PATH"

configure() {  # build folder, then extra CMake arguments
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELKORA_NATIVE_ONLY=ON -DPython_EXECUTABLE="$python" "$@" >/dev/null
    ninja -C "$dir" velkora_native_tests velkora_tree_tests >/dev/null
}
# The cross build also takes the two-word 128-bit integer, the form MSVC gets, so the shortest-float
# digits of every body double-check it against this host's native one.
configure build/cross/s390x -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=s390x \
    -DCMAKE_C_COMPILER=s390x-linux-gnu-gcc -DCMAKE_CXX_COMPILER=s390x-linux-gnu-g++ -DCMAKE_CXX_FLAGS=-DVELKORA_NO_INT128
configure build/cross/host

export QEMU_LD_PREFIX=/usr/s390x-linux-gnu  # where qemu finds the s390x loader and libraries
qemu-s390x build/cross/s390x/velkora_native_tests

shopt -s nullglob
bodies=(../shared/testdata/solr/*.bin)
if [ ${#bodies[@]} -eq 0 ]; then
    echo "test-big-endian: ../shared/testdata/solr is absent: only the built-in checks run"
    qemu-s390x build/cross/s390x/velkora_tree_tests
    exit 0
fi
build/cross/host/velkora_tree_tests "${bodies[@]}" >build/cross/host.txt
qemu-s390x build/cross/s390x/velkora_tree_tests "${bodies[@]}" >build/cross/s390x.txt
if ! diff -u build/cross/host.txt build/cross/s390x.txt; then
    echo "test-big-endian: FAILED: the s390x build decodes the Solr bodies differently (diff above)"
    exit 1
fi
echo "test-big-endian: ${#bodies[@]} Solr bodies decode alike on s390x and on this host"
echo "test-big-endian: 1 passed, 0 failed"
