#!/usr/bin/env bash
# Builds and tests everything, as CI does:
#   1. the host build (preset default) and its test suite;
#   2. the same suite under AddressSanitizer and UndefinedBehaviorSanitizer,
#      then its tool tests again with the driver's plain reference pixel
#      kernels forced (KALD_FORCE_REFERENCE=1), against the same golden hashes;
#   3. the Windows cross build of the driver, its objects checked for
#      kernel-mode rules and its image kaldrin.sys for what the platform loads;
#   4. every fuzz target for a bounded time on a copy of its seed corpus,
#      one target per core at a time.
# Stops at the first failure. KALD_FUZZ_SECONDS sets the time per fuzz target
# (default 60 under CI, 10 otherwise).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

if [ "${CI:-}" = true ]; then
    fuzz_seconds="${KALD_FUZZ_SECONDS:-60}"
else
    fuzz_seconds="${KALD_FUZZ_SECONDS:-10}"
fi

logs="$root/build/logs"
started=$SECONDS

banner() {
    printf '\n==================== %s ====================\n' "$*"
}

# Prints a duration in seconds as minutes and seconds.
elapsed() {
    local s=$((SECONDS - $1))
    printf '%dm%02ds' $((s / 60)) $((s % 60))
}

# Configures, builds and tests one host preset, keeping ctest's output for the
# summary at the end.
host_stage() {
    local preset=$1
    cmake --preset "$preset"
    cmake --build --preset "$preset"
    ctest --preset "$preset" 2>&1 | tee "$logs/ctest-$preset.log"
}

banner "setup"
bash scripts/setup.sh
mkdir -p "$logs"

banner "host build and tests (preset default)"
t=$SECONDS
host_stage default
default_time=$(elapsed $t)

banner "AddressSanitizer + UndefinedBehaviorSanitizer (preset asan)"
t=$SECONDS
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:check_initialization_order=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
host_stage asan
asan_time=$(elapsed $t)

banner "tool tests with the reference pixel kernels (preset asan, KALD_FORCE_REFERENCE=1)"
t=$SECONDS
KALD_FORCE_REFERENCE=1 ctest --preset asan -R '^Kald' --no-tests=error 2>&1 |
    tee "$logs/ctest-asan-reference.log"
reference_time=$(elapsed $t)

banner "Windows build: the driver image and the property-page server (preset windows)"
t=$SECONDS
cmake --preset windows
cmake --build --preset windows
bash scripts/check-windows-driver.sh --self-test
bash scripts/check-windows-driver.sh build/windows
bash scripts/check-windows-propui.sh build/windows
windows_time=$(elapsed $t)

banner "fuzz targets (preset fuzz, ${fuzz_seconds}s each)"
t=$SECONDS
cmake --preset fuzz
cmake --build --preset fuzz --target kald_fuzzers
fuzz_results=()
fuzz_work="$root/build/fuzz/run"
rm -rf "$fuzz_work"
mkdir -p "$fuzz_work"

# Runs one target on a copy of its seed corpus (the committed corpus stays as
# it is) and leaves 0 or 1 in its status file; its output goes to its log.
fuzz_one() {
    local target=$1
    local corpus="$fuzz_work/$target/corpus"
    mkdir -p "$corpus" "$fuzz_work/$target/artifacts"
    cp "tests/fuzz/corpus/$target/"* "$corpus/"
    if "build/fuzz/tests/fuzz/$target" -max_total_time="$fuzz_seconds" -timeout=25 \
        -rss_limit_mb=2048 -max_len=116865 -dict=tests/fuzz/kald.dict -print_final_stats=1 \
        -artifact_prefix="$fuzz_work/$target/artifacts/" \
        "$corpus" >"$logs/fuzz-$target.log" 2>&1; then
        echo 0 >"$fuzz_work/$target/status"
    else
        echo 1 >"$fuzz_work/$target/status"
    fi
}

fuzz_targets=()
for seeds in tests/fuzz/corpus/*/; do
    target=$(basename "$seeds")
    if [ ! -x "build/fuzz/tests/fuzz/$target" ]; then
        echo "test.sh: $seeds has no fuzz target build/fuzz/tests/fuzz/$target" >&2
        exit 1
    fi
    fuzz_targets+=("$target")
done
# Each fuzzer uses one core: they run side by side, one per core.
fuzz_jobs=$(nproc)
for target in "${fuzz_targets[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$fuzz_jobs" ]; do
        wait -n || true
    done
    echo "fuzz: $target for ${fuzz_seconds}s ($(ls "tests/fuzz/corpus/$target" | wc -l) seeds)"
    fuzz_one "$target" &
done
wait
for target in "${fuzz_targets[@]}"; do
    log="$logs/fuzz-$target.log"
    if [ "$(cat "$fuzz_work/$target/status" 2>/dev/null)" != 0 ]; then
        tail -n 60 "$log"
        echo "test.sh: fuzz target $target failed; the input is in $fuzz_work/$target/artifacts/" >&2
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz: $target passed, ${runs:-?} runs, corpus $(ls "$fuzz_work/$target/corpus" | wc -l) inputs"
    fuzz_results+=("$target: ${runs:-?} runs, no crash")
done
fuzz_time=$(elapsed $t)

banner "summary ($(elapsed $started))"
echo "windows ($windows_time): driver library and kaldrin.sys passed the kernel-mode checks; kaldprop.dll and its language libraries passed theirs"
echo "fuzz ($fuzz_time):"
printf '  %s\n' "${fuzz_results[@]}"
echo "asan, tool tests with reference kernels ($reference_time):"
grep -E 'tests passed|tests failed' "$logs/ctest-asan-reference.log"
echo "asan ($asan_time):"
grep -E 'tests passed|tests failed' "$logs/ctest-asan.log"
echo "default ($default_time):"
grep -E 'tests passed|tests failed' "$logs/ctest-default.log"
