#!/usr/bin/env bash
# Builds the decoder and its threaded test with ThreadSanitizer and runs
# it: several threads decoding ranges of one open file at once, also while
# another appends to it and refreshes the index. Any race report stops the
# run with a non-zero status. Needs no Python.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/tsan -DKELVANE_EXTENSION=OFF -DKELVANE_TSAN=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build/tsan -j2 --target thread_tests > /dev/null
# Some kernels place memory where the sanitizer cannot map its shadow;
# running without address randomisation avoids that.
run=(build/tsan/thread_tests)
if command -v setarch > /dev/null; then
    run=(setarch "$(uname -m)" -R "${run[@]}")
fi
TSAN_OPTIONS="halt_on_error=1 ${TSAN_OPTIONS:-}" "${run[@]}"
