#!/bin/sh
# Times the simulator on a large store: populate 1,000 users x 10 folders x
# 20 messages, list the accounts, export everything, then export again
# incrementally. Usage: bench.sh SIMBIN_DIR (the build's simbin directory).
set -eu
simbin=${1:?usage: bench.sh SIMBIN_DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
PATH="$simbin:$PATH"
ZARAFA_SIM_STORE="$work/store"
export PATH ZARAFA_SIM_STORE
mkdir "$work/export"

step() {
    label=$1
    shift
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" -v l="$label" 'BEGIN { printf "%s: %.3f s\n", l, b - a }'
}

step "populate 1000x10x20" zarafa-sim populate --users 1000 --folders 10 --messages 20 --seed 1
step "zarafa-admin -l" zarafa-admin -l
cd "$work/export"
step "zarafa-backup -a (full)" zarafa-backup -a
rm -f ./*.data.zbk
zarafa-sim add-messages user0500 10 >/dev/null
step "zarafa-backup -a (incremental)" zarafa-backup -a
step "zarafa-admin -d user0500" zarafa-admin -d user0500
echo "store size: $(du -sh "$ZARAFA_SIM_STORE" | cut -f1)"
