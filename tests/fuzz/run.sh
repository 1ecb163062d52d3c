#!/usr/bin/env bash
# Runs fuzz targets for a while each on a scratch copy of their corpus, so
# that the repository's corpus is never changed.
#   tests/fuzz/run.sh BUILDDIR SECONDS [TARGET...]
# Every target of tests/fuzz/corpus/ runs when none is named. FUZZ_JOBS
# targets run at once (default 1); FUZZ_FLAGS adds libFuzzer options. Each
# target's log, new corpus entries, crash files and inputs that failed an
# internal check are left in BUILDDIR/fuzz-work/TARGET/. Exits 1 when a
# target found a fault.
set -uo pipefail
cd "$(dirname "$0")/../.."

if [ $# -lt 2 ]; then
    echo "usage: $0 BUILDDIR SECONDS [TARGET...]" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
seconds=$2
shift 2
if [ $# -gt 0 ]; then
    targets=("$@")
else
    targets=()
    for dir in tests/fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi

# Inputs up to 2048 bytes: enough for every line kind and several included
# files, and small enough that the memory an input may take stays bounded.
OPTIONS=(-max_len=2048 -rss_limit_mb=2048 -timeout=30 -close_fd_mask=3 -print_final_stats=1)

runone() {
    local target=$1
    local work=$build/fuzz-work/$target
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/artifacts" "$work/checks"
    cp tests/fuzz/corpus/"$target"/* "$work/corpus/"
    FP_FUZZ_CHECKDIR=$work/checks UBSAN_OPTIONS=print_stacktrace=1 \
        "$build/fuzz_$target" "$work/corpus" -dict="tests/fuzz/$target.dict" \
        -max_total_time="$seconds" -artifact_prefix="$work/artifacts/" \
        "${OPTIONS[@]}" ${FUZZ_FLAGS:-} >"$work/log" 2>&1
    local status=$?
    local last
    last=$(grep -E '^#[0-9]+' "$work/log" | tail -1)
    local checks
    checks=$(find "$work/checks" -type f | wc -l)
    if [ $status -eq 0 ]; then
        echo "fuzz $target: ok: $last (failed internal checks: $checks kinds)"
    else
        echo "fuzz $target: FAILED (status $status): $last"
        grep -E -A30 '^==[0-9]+==ERROR|^SUMMARY|fuzz_[a-z]+: |Test unit written' "$work/log" | head -60
    fi
    return $status
}

failed=0
jobs=${FUZZ_JOBS:-1}
pids=()
for target in "${targets[@]}"; do
    if [ ! -x "$build/fuzz_$target" ]; then
        echo "fuzz $target: no such target in $build" >&2
        failed=1
        continue
    fi
    runone "$target" &
    pids+=($!)
    if [ ${#pids[@]} -ge "$jobs" ]; then
        wait "${pids[0]}" || failed=1
        pids=("${pids[@]:1}")
    fi
done
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
if [ $failed -ne 0 ]; then
    echo "fuzz: a target found a fault (details in $build/fuzz-work/)"
    exit 1
fi
echo "fuzz: ${#targets[@]} targets ran ${seconds}s each without a fault"
