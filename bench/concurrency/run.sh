#!/usr/bin/env bash
# Builds what the concurrency benchmark needs and runs it; options after the
# script's name go to the driver (bench/concurrency/concurrency.cpp), e.g.
# --rounds 5 or --export-ms 50.
# usage: bench/concurrency/run.sh [OPTIONS]
set -euo pipefail
source "$(dirname "$0")/../../scripts/lib.sh"
ensure_packages
cmake -S "$ROOT" -B "$ROOT/build" >/dev/null
cmake --build "$ROOT/build" -j "$JOBS" --target ark_zarafa dbhost concurrency scale_tool scale_self_cpu >/dev/null
exec "$ROOT/build/bench/concurrency" --dbhost "$ROOT/build/bin/dbhost" --plugin "$ROOT/build/lib/ark_zarafa.so" \
    --tool "$ROOT/build/bench/scale_tool" --self-cpu "$ROOT/build/bench/libscale_self_cpu.so" "$@"
