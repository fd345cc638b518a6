#!/usr/bin/env bash
# Measures the large reconstruction against its peer in one run and prints
# the ratio of the medians, ours / peer (below 1: ours is faster).
#
# Usage: bench/compare-peer.sh [KALD_BENCH] [REPETITIONS]
#   KALD_BENCH:  the benchmark program (default build/default/bench/kald_bench)
#   REPETITIONS: runs of each benchmark (default 9)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bench="${1:-$root/build/default/bench/kald_bench}"
repetitions="${2:-9}"

out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$bench" --benchmark_filter='BM_ReconstructLarge|BM_PeerOpenCvEaI420' \
    --benchmark_repetitions="$repetitions" --benchmark_report_aggregates_only=true \
    --benchmark_time_unit=ns | tee "$out"

# Median lines: NAME_median  REAL ns  CPU ns  ...
awk '
    $1 ~ /_median$/ { name = $1; sub(/_median$/, "", name); real[name] = $2; cpu[name] = $4 }
    END {
        peer = "BM_PeerOpenCvEaI420/352/288"
        if (!(peer in real)) { print "compare-peer.sh: no median of " peer > "/dev/stderr"; exit 1 }
        printf "\nratio of medians, ours / peer (%s):\n", peer
        for (name in real) {
            if (name == peer) continue
            printf "  %-40s real %.2f  cpu %.2f\n", name, real[name] / real[peer], cpu[name] / cpu[peer]
        }
    }' "$out"
