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
for t in lma_tests index_tests thread_tests; do
    build/cpp-asan/$t | tail -1
done

"${PYTHON:-python3}" -m venv "$venv"
. "$venv/bin/activate"
python -m pip install -q --upgrade pip
# The build runs without isolation, so its requirements go in first.
python -m pip install -q scikit-build-core numpy
python -m pip uninstall -q -y kelvane 2> /dev/null || true
# Debug info, so that reports name file and line.
python -m pip install -q --no-build-isolation \
    -Ccmake.define.KELVANE_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo \
    -Cbuild-dir=build/asan '.[test]'

# The interpreter is not instrumented, so the runtime must be loaded first;
# libstdc++ with it, or the runtime cannot find the C++ exception machinery
# of extensions loaded later and aborts at their first throw. CPython keeps
# memory until exit on purpose: leak reports would be noise. An allocation
# the system refuses gives NULL, as without the sanitizer, so that huge
# counts in a file still end in MemoryError. Reports go to files, since
# pytest captures the standard error of a process that dies.
logs="$PWD/build/asan-logs"
rm -rf "$logs" && mkdir -p "$logs"
asan="$(gcc -print-file-name=libasan.so)"
export LD_PRELOAD="$asan:$(gcc -print-file-name=libstdc++.so)"
export ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1"
ASAN_OPTIONS+=":abort_on_error=1:log_path=$logs/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan"
status=0
# pytest's exit 5, no test collected, counts as a failure here.
python -m pytest -p no:cacheprovider "$@" || status=$?
python examples/read_sample.py > /dev/null || status=$?
for report in "$logs"/*; do
    [ -e "$report" ] || continue
    echo "== $report"
    cat "$report"
    status=1
done
exit "$status"
