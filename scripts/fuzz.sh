#!/usr/bin/env bash
# Builds libFuzzer targets and runs each for a while.
#
#   scripts/fuzz.sh TARGET [SECONDS] [extra libFuzzer options...]
#   scripts/fuzz.sh all [SECONDS] [extra libFuzzer options...]
#
# TARGET is a fuzz target's name, with or without its "fuzz_" prefix (for
# example normalize_host); "all" runs every target in tests/fuzz/ one after
# the other, each for SECONDS (default 60), and goes on after a failing one
# so that one run reports on all of them. The build goes to
# $ORVO_FUZZ_BUILD_DIR (default: build-fuzz beside the sources) and holds only
# the core and the fuzz targets; the corpus grows in that build folder,
# seeded from tests/fuzz/corpus/<name>/ when that exists, and a dictionary
# tests/fuzz/<name>.dict is used when present. Crash inputs land in the build
# folder's artifacts/<name>/ and the script exits non-zero. Each target prints
# one line (executions, result); libFuzzer's own log goes to the build folder's
# logs/<name>.log, and its end is printed when the target fails.
# $ORVO_FUZZ_CMAKE_FLAGS adds CMake options (for example -DORVO_WERROR=ON).
set -euo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 TARGET|all [SECONDS] [libFuzzer options...]" >&2
    exit 2
fi
requested=${1#fuzz_}
seconds=${2:-60}
shift $(($# >= 2 ? 2 : 1))

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${ORVO_FUZZ_BUILD_DIR:-$source_dir/build-fuzz}
jobs=${ORVO_FUZZ_BUILD_JOBS:-2}

if [ "$requested" = all ]; then
    names=()
    for source in "$source_dir"/tests/fuzz/*_fuzz.cpp; do
        base=$(basename "$source" .cpp)
        names+=("${base%_fuzz}")
    done
    build_target=orvo_fuzzers
else
    names=("$requested")
    build_target=fuzz_$requested
fi

cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DORVO_FUZZ=ON -DORVO_BUILD_APP=OFF ${ORVO_FUZZ_CMAKE_FLAGS:-} >/dev/null
mkdir -p "$build_dir/logs"
if ! cmake --build "$build_dir" --target "$build_target" -j "$jobs" >"$build_dir/logs/build.log" 2>&1; then
    cat "$build_dir/logs/build.log" >&2
    exit 1
fi

run_one() {
    local name=$1
    shift
    local corpus=$build_dir/fuzz-corpus/$name
    local artifacts=$build_dir/artifacts/$name/
    mkdir -p "$corpus" "$artifacts"
    local inputs=("$corpus")
    [ -d "$source_dir/tests/fuzz/corpus/$name" ] && inputs+=("$source_dir/tests/fuzz/corpus/$name")
    local options=(-max_total_time="$seconds" -artifact_prefix="$artifacts" -print_final_stats=1)
    [ -f "$source_dir/tests/fuzz/$name.dict" ] && options+=(-dict="$source_dir/tests/fuzz/$name.dict")
    local log=$build_dir/logs/$name.log status=0
    "$build_dir/tests/fuzz/fuzz_$name" "${options[@]}" "$@" "${inputs[@]}" >"$log" 2>&1 || status=$?
    local runs
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    if [ "$status" -eq 0 ]; then
        printf 'fuzz_%-16s %12s executions in %s s, no failure\n' "$name" "${runs:-?}" "$seconds"
    else
        printf 'fuzz_%-16s FAILED after %s executions (log: %s)\n' "$name" "${runs:-?}" "$log"
        tail -n 40 "$log" >&2
    fi
    return "$status"
}

failed=()
for name in "${names[@]}"; do
    run_one "$name" "$@" || failed+=("$name")
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzzing found faults in: ${failed[*]} (inputs in $build_dir/artifacts/)" >&2
    exit 1
fi
