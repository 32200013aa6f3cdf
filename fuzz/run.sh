#!/usr/bin/env bash
# Builds every libFuzzer target with AddressSanitizer and UndefinedBehaviorSanitizer (clang-19),
# replays the kept crashers in fuzz/regressions/<target>/, then fuzzes each target for SECONDS
# seconds, one after another on one core, starting from its seed corpus in fuzz/corpus/<target>/.
# A new crasher is kept under fuzz/regressions/<target>/ and fails the run.
#   usage: fuzz/run.sh SECONDS [TARGET...]
# FUZZ_BUILD_DIR (default build/fuzz) holds the build and the growing working corpora.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:?usage: fuzz/run.sh SECONDS [TARGET...]}
shift
build=${FUZZ_BUILD_DIR:-build/fuzz}
all_targets=(pipeline hex_reader abi_type abi_decoder context_reader utf8_text user_registry definitions_reader unwrap arrow_decode jsonl_writer snappy parquet_writer)
targets=("${@:-${all_targets[@]}}")

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++-19 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKESTRIX_BUILD_PYTHON=OFF -DKESTRIX_BUILD_TESTS=OFF -DKESTRIX_BUILD_FUZZERS=ON \
    -DKESTRIX_SANITIZE=address,undefined >/dev/null
cmake --build "$build" --parallel 2 --target "${targets[@]/#/fuzz_}" >/dev/null

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for target in "${targets[@]}"; do
    binary=$build/fuzz/fuzz_$target
    kept=fuzz/regressions/$target
    mkdir -p "$kept" "$build/corpus/$target"
    # Replay every kept crasher first: each must now pass.
    mapfile -t old < <(find "$kept" -type f ! -name '.*' | sort)
    if [ ${#old[@]} -gt 0 ] && ! "$binary" -runs=1 "${old[@]}" >"$build/$target.replay.log" 2>&1; then
        echo "== $target: a kept crasher fails again (see $build/$target.replay.log)"
        failed+=("$target")
        continue
    fi
    # Seeds are read-only inputs; new findings go to the working corpus in the build folder. A
    # target without seeds starts from nothing.
    seeds=()
    [ ! -d "fuzz/corpus/$target" ] || seeds=("fuzz/corpus/$target")
    log=$build/$target.log
    if "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$kept/" "$build/corpus/$target" "${seeds[@]}" \
        >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
        cover=$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$log" | tail -1 | grep -oE 'cov: [0-9]+ ft: [0-9]+')
        echo "== $target: ${runs:-?} executions, ${cover:-no coverage line}, ${#old[@]} crashers replayed"
    else
        echo "== $target: FAILED, crasher kept in $kept (log: $log)"
        tail -n 30 "$log"
        failed+=("$target")
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzzing failed for: ${failed[*]}"
    exit 1
fi
