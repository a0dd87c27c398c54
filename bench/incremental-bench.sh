#!/usr/bin/env bash
# Times a full run and an incremental run of the same unchanged tree side by side:
# 3000 files of 1-4 KiB in 60 folders, served by a pyftpdlib server on 127.0.0.1. The
# incremental run must cost one listing per folder plus the database look-ups: at least 5x
# faster than the full run. Not a test: prints the medians and the ratio, exits 1 below 5x.
#
# Usage: bench/incremental-bench.sh [REPS] [CLI]
#   REPS  timed runs of each kind, the median counts (default 3)
#   CLI   the vornbackup-cli to time (default: a Release build in build-release, made here)
set -euo pipefail

reps=${1:-3}
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/lib.sh"
cli=${2:-}
python=/usr/bin/python3
bench_workspace incremental-bench

release_cli

echo "== Tree: 3000 files in 60 folders"
"$python" - "$work/tree" <<'PY'
import os, random, sys
rng = random.Random(20261208)
for i in range(3000):
    folder = os.path.join(sys.argv[1], "d%d" % (i % 6), "s%d" % (i % 60))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%04d.bin" % i), "wb") as out:
        out.write(rng.randbytes(rng.randint(1024, 4096)))
PY

coproc SERVER { exec "$python" "$root/tests/support/ftp_server.py" --root "$work/tree" 2>"$work/server.log"; }
server_pid=$SERVER_PID
read -r -t 15 line <&"${SERVER[0]}" || { echo "the FTP server did not start" >&2; exit 1; }
port=${line#PORT }

db=$work/projects.db
store_bench_project "$db" "$port" "$work/copy"

# Seconds of one run, checked for success.
timed_run() {
    local start end
    start=$(date +%s.%N)
    "$cli" --db "$db" run bench >"$work/run.out" || { echo "the run failed:" >&2; tail -3 "$work/run.out" >&2; exit 1; }
    end=$(date +%s.%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }'
}

full=()
for ((i = 0; i < reps; i++)); do full+=("$(timed_run)"); done
"$cli" --db "$db" options bench incremental=on
timed_run >/dev/null # the first incremental run copies everything and remembers it
incremental=()
for ((i = 0; i < reps; i++)); do
    incremental+=("$(timed_run)")
    grep -q 'File(s):0, Failed Folder(s):0, Failed File(s):0, Unchanged File(s):3000\.' "$work/run.out" \
        || { echo "the incremental run copied something:" >&2; tail -1 "$work/run.out" >&2; exit 1; }
done
diff -r "$work/tree" "$work/copy" >/dev/null || { echo "the copy differs from the tree" >&2; exit 1; }

f=$(median "${full[@]}")
n=$(median "${incremental[@]}")
ratio=$(awk -v f="$f" -v n="$n" 'BEGIN { printf "%.1f", f / n }')
printf '%-28s %8s s\n' "full run (median of $reps)" "$f" "unchanged incremental run" "$n"
echo "incremental is ${ratio}x faster (goal: at least 5x)"
awk -v r="$ratio" 'BEGIN { exit !(r >= 5) }'
