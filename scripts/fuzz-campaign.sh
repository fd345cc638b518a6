#!/usr/bin/env bash
# Runs a fuzz campaign: every fuzz target (or the ones named) under
# AddressSanitizer and UndefinedBehaviorSanitizer until it has executed
# --runs inputs or run --seconds, whichever comes first, each on a working
# copy of its committed seed corpus. With --merge, the inputs that reach new
# code are merged back into tests/fuzz/corpus/<target>/ (minimised, so the
# committed corpus grows only by what adds coverage). Crashing inputs are
# kept in build/fuzz/campaign/<target>/artifacts/. Ends with one line per
# target (executions, seconds, corpus size, findings), also written to
# build/fuzz/campaign/summary.txt.
#
# Usage: fuzz-campaign.sh [--runs N] [--seconds S] [--merge] [TARGET ...]
#        (defaults: 10000000 runs, 1800 seconds, every target)
# Exits 1 when a target found a crash, 0 otherwise.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

runs=10000000
seconds=1800
merge=0
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
    --runs) runs="$2"; shift 2 ;;
    --seconds) seconds="$2"; shift 2 ;;
    --merge) merge=1; shift ;;
    -h | --help) sed -n '2,15p' "$0"; exit 0 ;;
    -*) echo "fuzz-campaign.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
    esac
done
if [ ${#targets[@]} -eq 0 ]; then
    for seeds in tests/fuzz/corpus/*/; do
        targets+=("$(basename "$seeds")")
    done
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]}"

campaign="$root/build/fuzz/campaign"
mkdir -p "$campaign"
summary="$campaign/summary.txt"
: >"$summary"
found=0
for target in "${targets[@]}"; do
    binary="build/fuzz/tests/fuzz/$target"
    seeds="tests/fuzz/corpus/$target"
    if [ ! -x "$binary" ] || [ ! -d "$seeds" ]; then
        echo "fuzz-campaign.sh: no fuzz target $target" >&2
        exit 2
    fi
    work="$campaign/$target"
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/artifacts"
    cp "$seeds"/* "$work/corpus/"
    log="$work/fuzz.log"
    echo "campaign: $target, up to $runs runs or ${seconds}s"
    start=$SECONDS
    status=0
    "$binary" -runs="$runs" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
        -max_len=116865 -dict=tests/fuzz/kald.dict -print_final_stats=1 \
        -artifact_prefix="$work/artifacts/" "$work/corpus" >"$log" 2>&1 || status=$?
    elapsed=$((SECONDS - start))
    executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    crashes=$(find "$work/artifacts" -type f | wc -l)
    if [ "$status" -ne 0 ] || [ "$crashes" -ne 0 ]; then
        found=1
        tail -n 40 "$log"
    fi
    if [ "$merge" -eq 1 ]; then
        "$binary" -merge=1 -max_len=116865 "$seeds" "$work/corpus" >"$work/merge.log" 2>&1
    fi
    line="$target: ${executed:-?} runs in ${elapsed}s, corpus $(ls "$work/corpus" | wc -l) inputs, $crashes findings"
    echo "$line" | tee -a "$summary"
done
echo "campaign summary: $summary"
exit "$found"
