#!/usr/bin/env bash
# The backup host's peak memory against the size of one mailbox: a FULL and
# then an INCR backup of a single mailbox whose index holds N messages, for
# each N, through dbhost and the plug-in, against the do-nothing server of
# the scale benchmark. The runs of the sizes are interleaved and repeated;
# the table shows the median peak resident size of the host and its spread.
# usage: bench/memory/run.sh [SIZES] [ROUNDS]   (default 5000,50000,500000 and 3)
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib.sh"
ensure_packages
cmake -S "$ROOT" -B "$ROOT/build" >/dev/null
cmake --build "$ROOT/build" -j "$JOBS" --target ark_zarafa dbhost scale_tool scale_self_cpu >/dev/null

IFS=, read -r -a SIZES <<<"${1:-5000,50000,500000}"
ROUNDS=${2:-3}
PLUGIN=${PLUGIN:-$ROOT/build/lib/ark_zarafa.so}
BASE=$(mktemp -d "${TMPDIR:-/dev/shm}/ark-memory.XXXXXX")
trap 'rm -rf "$BASE"' EXIT
mkdir -p "$BASE/tools"
for t in zarafa-admin zarafa-backup zarafa-restore; do ln -s "$ROOT/build/bench/scale_tool" "$BASE/tools/$t"; done

# peak LEVEL SIZE DIR: the host's peak resident size in KiB for one backup.
peak() {
    local level=$1 size=$2 dir=$3
    SCALE_USERS=1 SCALE_INDEX_MESSAGES=$size PATH="$BASE/tools:$PATH" \
        LD_PRELOAD="$ROOT/build/bench/libscale_self_cpu.so" SCALE_SELF_CPU_OUT="$dir/self" \
        "$ROOT/build/bin/dbhost" --log "$dir/log" backup --plugin "$PLUGIN" --store "$dir/store" \
        --saveset "$level" --level "$level" --job mem --work-dir "$dir/work" --mailbox user00001 \
        >/dev/null 2>"$dir/err" || { echo "Error: the $level backup of $size messages failed" >&2; exit 1; }
    awk '{print $3}' "$dir/self"
}

declare -A FULL INCR
for ((round = 1; round <= ROUNDS; round++)); do
    for size in "${SIZES[@]}"; do
        dir="$BASE/run-$size-$round"
        mkdir -p "$dir"
        FULL[$size]+="$(peak FULL "$size" "$dir") "
        INCR[$size]+="$(peak INCR "$size" "$dir") "
        rm -rf "$dir"
    done
done

# median and spread (min-max) of a list of KiB values, in MiB
stats() { tr ' ' '\n' <<<"$1" | grep . | sort -n | awk '{v[NR]=$1} END {printf "%.1f (%.1f-%.1f)", v[int((NR+1)/2)]/1024, v[1]/1024, v[NR]/1024}'; }
printf '%-10s %-12s %-22s %-22s\n' messages "index MB" "FULL peak MiB" "INCR peak MiB"
for size in "${SIZES[@]}"; do
    index_mb=$(awk -v n="$size" 'BEGIN {printf "%.1f", n * 61 / 1e6}')
    printf '%-10s %-12s %-22s %-22s\n' "$size" "$index_mb" "$(stats "${FULL[$size]}")" "$(stats "${INCR[$size]}")"
done
echo "($ROUNDS rounds, sizes interleaved; median and range of the host's peak resident size)"
