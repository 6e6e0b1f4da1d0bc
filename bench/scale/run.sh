#!/usr/bin/env bash
# Builds what the scale benchmark needs and runs it on /dev/shm and on a disk
# directory (/var/tmp unless --dir names another).
# usage: bench/scale/run.sh [SIZES] [ROUNDS] [scale options...]
#        (default 1000,5000 and 3; e.g. --dir /srv/scratch, --places disk)
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib.sh"
ensure_packages
cmake -S "$ROOT" -B "$ROOT/build" >/dev/null
cmake --build "$ROOT/build" -j "$JOBS" --target ark_zarafa dbhost scale scale_tool scale_self_cpu >/dev/null
exec "$ROOT/build/bench/scale" --dbhost "$ROOT/build/bin/dbhost" --plugin "$ROOT/build/lib/ark_zarafa.so" \
    --tool "$ROOT/build/bench/scale_tool" --self-cpu "$ROOT/build/bench/libscale_self_cpu.so" \
    --sizes "${1:-1000,5000}" --rounds "${2:-3}" "${@:3}"
