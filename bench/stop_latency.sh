#!/usr/bin/env bash
# How fast Stop ends a transfer: a download and a server-to-server copy from a throttled
# pyftpdlib server (256 KiB/s, so a 64 MiB file would take minutes) on 127.0.0.1, stopped
# once data flows. Release build. Usage: bench/stop_latency.sh [TRIALS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
trials=${1:-10}
work=$(mktemp -d /tmp/vorn-stop-bench.XXXXXX)
build=$root/build-bench
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_GUI=OFF -DVORN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target vorn_engine -j2 >/dev/null
g++ -std=c++20 -O2 -include utility -I"$root/src" "$root/bench/stop_latency.cpp" \
    "$build/src/engine/libvorn_engine.a" "$build/src/ftpclient/libvorn_ftpclient.a" \
    "$build/src/common/libvorn_common.a" -lssl -lcrypto -pthread -o "$work/stop_latency"

# Starts the tests' server on port 0 in this shell (so cleanup can stop it) ...
serve() {
    local name=$1; shift
    mkdir -p "$work/$name"
    /usr/bin/python3 "$root/tests/support/ftp_server.py" --root "$work/$name" "$@" \
        >"$work/$name.port" 2>"$work/$name.log" &
    pids+=($!)
}
# ... and prints the port it reports.
port_of() {
    for _ in $(seq 1 300); do
        port=$(sed -n 's/^PORT \([0-9][0-9]*\)$/\1/p' "$work/$1.port")
        [ -n "$port" ] && { echo "$port"; return; }
        sleep 0.1
    done
    echo "the $1 server did not start:" >&2
    cat "$work/$1.log" >&2
    exit 1
}
serve source --slow-data 262144
serve dest
head -c $((64 << 20)) /dev/urandom >"$work/source/big.bin"
mkdir -p "$work/local"
source_port=$(port_of source)
dest_port=$(port_of dest)
"$work/stop_latency" 127.0.0.1 "$source_port" "$dest_port" user secret /big.bin "$work/local" "$trials"
