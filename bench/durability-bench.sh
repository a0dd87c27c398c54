#!/usr/bin/env bash
# What it costs that a finished run's copies are on stable storage before its records say so:
# full Ftp->Local runs of 3000 files of 1-32 KiB in 60 folders from a pyftpdlib server on
# 127.0.0.1 into a fresh folder on the disk, each run timed with the copies
#   none       not synced (the page cache writes them back later),
#   each-file  each file synced before its rename (fsync per file),
#   syncfs     the destination's file system synced once at the end of the run (the program's way).
# Runs of the three kinds take turns, so a busy machine weighs on each alike; the median of
# each kind counts. Not a test: prints the medians and the ratios to "none".
#
# Usage: bench/durability-bench.sh [REPS]   (default 5 runs of each kind)
# Environment: VORN_BENCH_DEST  folder on the disk to measure (default a folder below /var/tmp)
set -euo pipefail

reps=${1:-5}
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/lib.sh"
python=/usr/bin/python3
bench_workspace durability-bench
dest_root=${VORN_BENCH_DEST:-$(mktemp -d /var/tmp/vorn-durability.XXXXXX)}
trap 'status=$?; rm -rf "$dest_root"; (exit $status); bench_cleanup' EXIT

build=$root/build-release
echo "== Release build"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_GUI=OFF \
    -DVORN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target vorn_engine vornbackup-cli >/dev/null
cli=$build/src/app/vornbackup-cli
g++ -std=c++20 -O2 -include utility -I"$root/src" "$root/bench/durability_run.cpp" \
    "$build/src/engine/libvorn_engine.a" "$build/src/ftpclient/libvorn_ftpclient.a" \
    "$build/src/rules/libvorn_rules.a" "$build/src/store/libvorn_store.a" \
    "$build/src/common/libvorn_common.a" -larchive -lsqlite3 -lssl -lcrypto -pthread -o "$work/durability_run"

echo "== Tree: 3000 files of 1-32 KiB in 60 folders"
"$python" - "$work/tree" <<'PY'
import os, random, sys
rng = random.Random(20261208)
for i in range(3000):
    folder = os.path.join(sys.argv[1], "d%d" % (i % 6), "s%d" % (i % 60))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%04d.bin" % i), "wb") as out:
        out.write(rng.randbytes(rng.randint(1024, 32768)))
PY

coproc SERVER { exec "$python" "$root/tests/support/ftp_server.py" --root "$work/tree" 2>"$work/server.log"; }
server_pid=$SERVER_PID
read -r -t 15 line <&"${SERVER[0]}" || { echo "the FTP server did not start" >&2; exit 1; }
port=${line#PORT }

db=$work/projects.db
store_bench_project "$db" "$port" "$dest_root/copy"

declare -A times
for rep in $(seq 1 "$reps"); do
    for mode in none each-file syncfs; do
        rm -rf "$dest_root/copy"
        sync # what earlier runs left in the page cache is not charged to this one
        seconds=$("$work/durability_run" "$db" bench "$mode") || { echo "run failed ($mode)" >&2; exit 1; }
        [[ $(find "$dest_root/copy" -type f | wc -l) == 3000 ]] || { echo "incomplete copy ($mode)" >&2; exit 1; }
        times[$mode]="${times[$mode]:-} $seconds"
        echo "rep $rep $mode ${seconds}s"
    done
done

none=$(median ${times[none]})
echo "== Medians of $reps runs (3000 files)"
for mode in none each-file syncfs; do
    m=$(median ${times[$mode]})
    awk -v mode="$mode" -v m="$m" -v none="$none" \
        'BEGIN { printf "%-10s %8.3f s   %5.2fx the run without syncing\n", mode, m, m / none }'
done
