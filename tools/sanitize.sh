#!/usr/bin/env bash
# Builds the decoder's C++ tests and the extension with AddressSanitizer and
# UndefinedBehaviorSanitizer, runs the C++ tests, then the whole Python test
# suite and the example against the extension. Extra arguments go to pytest.
#   VENV    the environment to use (default build/asan-venv)
#   PYTHON  the interpreter that makes it (default python3)
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${VENV:-build/asan-venv}"

cmake -S . -B build/cpp-asan -DKELVANE_EXTENSION=OFF -DKELVANE_SANITIZE=ON \
    > /dev/null
cmake --build build/cpp-asan -j2 > /dev/null
build/cpp-asan/lma_tests | tail -1

"${PYTHON:-python3}" -m venv "$venv"
. "$venv/bin/activate"
python -m pip install -q --upgrade pip
# The build runs without isolation, so its requirements go in first.
python -m pip install -q scikit-build-core numpy pytest hypothesis
python -m pip install -q --no-build-isolation --force-reinstall --no-deps \
    -Ccmake.define.KELVANE_SANITIZE=ON -Cbuild-dir=build/asan .

# The interpreter is not instrumented, so the runtime must be loaded first.
# CPython keeps memory until exit on purpose: leak reports would be noise.
export LD_PRELOAD="$(gcc -print-file-name=libasan.so)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
status=0
# pytest's exit 5, no test collected, counts as a failure here.
python -m pytest -p no:cacheprovider "$@" || status=$?
python examples/read_sample.py > /dev/null || status=$?
exit "$status"
