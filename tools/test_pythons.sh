#!/usr/bin/env bash
# Builds the package (with build isolation, as a user would) and runs the
# test suite on each CPython 3.9 and newer found under pyenv, or on the
# versions given as arguments (e.g. 3.9.18 3.13.0). Prints one summary
# line per version; the logs stay in build/pythons/.
#   VENV_PREFIX  where the environments go (default build/pythons/venv-)
set -uo pipefail
cd "$(dirname "$0")/.."
root="${PYENV_ROOT:-$HOME/.pyenv}/versions"
logs=build/pythons
prefix="${VENV_PREFIX:-$logs/venv-}"
mkdir -p "$logs"

versions=("$@")
if [ ${#versions[@]} -eq 0 ]; then
    for dir in "$root"/3.*; do
        v="${dir##*/}"
        minor="${v#3.}"
        minor="${minor%%.*}"
        if [[ "$minor" =~ ^[0-9]+$ ]] && [ "$minor" -ge 9 ]; then
            versions+=("$v")
        fi
    done
fi
mapfile -t versions < <(printf '%s\n' "${versions[@]}" | sort -V)

# One version: venv, install, pytest. Prints the outcome; non-zero on failure.
run_one() {
    local v="$1" log="$logs/$1.log" venv="$prefix$1" start=$SECONDS
    local python="$root/$v/bin/python3"
    if [ ! -x "$python" ]; then
        echo "not found at $python"
        return 1
    fi
    "$python" -m venv --clear "$venv" > "$log" 2>&1 &&
        "$venv/bin/python" -m pip install -q --upgrade pip >> "$log" 2>&1
    # Verbose, so that the compiler's warnings are in the log and counted.
    if ! "$venv/bin/python" -m pip install -v '.[test]' >> "$log" 2>&1; then
        echo "BUILD FAILED after $((SECONDS - start)) s"
        return 1
    fi
    local build=$((SECONDS - start)) warnings
    warnings="$(grep -c 'warning:' "$log")"
    "$venv/bin/python" -m pytest -p no:cacheprovider -m "not browser" \
        >> "$log" 2>&1
    local rc=$?
    local result
    result="$(grep -E '^=+ .*(passed|failed|error|no tests ran)' "$log" |
              tail -1 | sed -E 's/^=+ //; s/ =+$//')"
    echo "${result:-pytest exit $rc}; $warnings compiler warnings;" \
         "build ${build} s, total $((SECONDS - start)) s"
    return "$rc"
}

failed=0
summary=()
for v in "${versions[@]}"; do
    echo "== $v" >&2
    line="$(run_one "$v")" || failed=1
    summary+=("$v: $line")
done
printf '%s\n' "${summary[@]}"
exit "$failed"
