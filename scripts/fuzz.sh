#!/usr/bin/env bash
# Builds one libFuzzer target and runs it for a while.
#
#   scripts/fuzz.sh TARGET [SECONDS] [extra libFuzzer options...]
#
# TARGET is a fuzz target's name, with or without its "fuzz_" prefix (for
# example normalize_host). The build goes to $ORVO_FUZZ_BUILD_DIR (default:
# build-fuzz beside the sources); the corpus grows in that build folder,
# seeded from tests/fuzz/corpus/<name>/ when that exists, and a dictionary
# tests/fuzz/<name>.dict is used when present. Crash inputs land in the build
# folder's artifacts/ and the script exits non-zero.
set -euo pipefail

if [ $# -lt 1 ]; then
    echo "usage: $0 TARGET [SECONDS] [libFuzzer options...]" >&2
    exit 2
fi
name=${1#fuzz_}
target=fuzz_$name
seconds=${2:-60}
shift $(($# >= 2 ? 2 : 1))

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${ORVO_FUZZ_BUILD_DIR:-$source_dir/build-fuzz}
jobs=${ORVO_FUZZ_BUILD_JOBS:-2}

cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DORVO_FUZZ=ON -DORVO_BUILD_APP=OFF >/dev/null
cmake --build "$build_dir" --target "$target" -j "$jobs"

corpus=$build_dir/fuzz-corpus/$name
artifacts=$build_dir/artifacts/$name/
mkdir -p "$corpus" "$artifacts"
inputs=("$corpus")
[ -d "$source_dir/tests/fuzz/corpus/$name" ] && inputs+=("$source_dir/tests/fuzz/corpus/$name")
options=(-max_total_time="$seconds" -artifact_prefix="$artifacts" -print_final_stats=1)
[ -f "$source_dir/tests/fuzz/$name.dict" ] && options+=(-dict="$source_dir/tests/fuzz/$name.dict")

exec "$build_dir/tests/fuzz/$target" "${options[@]}" "$@" "${inputs[@]}"
