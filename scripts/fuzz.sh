#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (build-fuzz) and runs
# each for FUZZ_SECONDS seconds (default 60) over a scratch copy of its seed
# corpus, so the corpus in the repository never grows, with its dictionary
# tests/fuzz/<target>.dict where there is one. Any crash, leak,
# sanitizer report or hang fails the run; the input that did it is kept in
# build-fuzz/fuzz-artifacts/<target>/.
# Usage: scripts/fuzz.sh [TARGET...]   (default: every target, e.g. "request")
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
build_dir=build-fuzz

# libFuzzer and the sanitizer runtimes come with the runtime package of the
# clang that is installed (clang 14 on this Debian).
scripts/install-packages.sh clang
scripts/install-packages.sh "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"
CC=clang CXX=clang++ scripts/setup.sh "$build_dir" -DQF_FUZZ=ON -DQF_TESTS=OFF

if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for dir in tests/fuzz/corpus/*/; do
        targets+=("$(basename "$dir")")
    done
fi

work=$(mktemp -d /tmp/qf-fuzz-run.XXXXXX)
trap 'rm -rf "$work"' EXIT
artifacts="$PWD/$build_dir/fuzz-artifacts"

# The request target gets inputs past the 8192-byte request buffer (its TLS
# inputs have four bytes of their own in front), the SSI target pages past the
# 8190-byte tag bound.
declare -A max_len=([request]=10004 [ssi]=20000)

passed=0
failed=0
for t in "${targets[@]}"; do
    fuzzer="$build_dir/tests/fuzz/${t}_fuzz"
    [ -x "$fuzzer" ] || { echo "fuzz: no target $t" >&2; exit 2; }
    cp -r "tests/fuzz/corpus/$t" "$work/$t"
    mkdir -p "$artifacts/$t"
    opts=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
          -artifact_prefix="$artifacts/$t/")
    [ -z "${max_len[$t]:-}" ] || opts+=(-max_len="${max_len[$t]}")
    [ ! -f "tests/fuzz/$t.dict" ] || opts+=(-dict="tests/fuzz/$t.dict")
    echo "fuzz: $t for ${seconds}s"
    if "$fuzzer" "${opts[@]}" "$work/$t" >"$work/$t.log" 2>&1; then
        grep -E '^#[0-9]+[[:space:]]+DONE' "$work/$t.log" || true
        passed=$((passed + 1))
    else
        echo "fuzz: $t FAILED; the end of its log:" >&2
        tail -n 60 "$work/$t.log" >&2
        failed=$((failed + 1))
    fi
done

echo "fuzz targets: $passed clean, $failed failing"
[ "$failed" -eq 0 ]
