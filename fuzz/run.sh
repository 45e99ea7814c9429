#!/usr/bin/env bash
# Builds the decoder's fuzz target with clang and runs it for SECONDS
# (default 60) on a seed corpus written by the project's writer. Needs
# clang and its runtime (Debian: clang libclang-rt-14-dev); installs nothing.
# Inputs that crash land in build/fuzz/ as crash-<sha1>; the grown corpus
# stays in build/fuzz/corpus for the next run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
out=build/fuzz
mkdir -p "$out/corpus"
clang++ -std=c++20 -O1 -g -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -Ilma/include lma/src/*.cpp fuzz/fuzz_lma.cpp \
    -o "$out/fuzz_lma"
python3 fuzz/make_corpus.py "$out/seeds"
nice "$out/fuzz_lma" -max_total_time="$seconds" -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$out/" \
    "$out/corpus" "$out/seeds"
# The sidecar's parser and checks, on the same files with their sidecars
# (written by the installed kelvane; without it, from no seeds).
mkdir -p "$out/sidecar-corpus" "$out/sidecar-seeds"
clang++ -std=c++20 -O1 -g -fno-omit-frame-pointer \
    -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -Ilma/include lma/src/*.cpp fuzz/fuzz_sidecar.cpp \
    -o "$out/fuzz_sidecar"
python3 fuzz/make_corpus.py --sidecars "$out/seeds" "$out/sidecar-seeds" ||
    echo "no sidecar seeds: kelvane is not installed"
nice "$out/fuzz_sidecar" -max_total_time="$seconds" -max_len=8192 \
    -print_final_stats=1 -artifact_prefix="$out/sidecar-" \
    "$out/sidecar-corpus" "$out/sidecar-seeds"
