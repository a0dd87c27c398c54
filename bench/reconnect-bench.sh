#!/usr/bin/env bash
# Times a run of 3000 small files from a server that drops the control connection every 500
# commands against the same run from a server that never drops. The dropping run must end
# with every file identical, within 1.3x of the other's time. Not a test: prints the medians
# and the ratio, exits 1 above 1.3x or when a copy differs.
#
# Usage: bench/reconnect-bench.sh [REPS] [CLI]
#   REPS  timed runs of each kind, the median counts (default 3)
#   CLI   the vornbackup-cli to time (default: a Release build in build-release, made here)
set -euo pipefail

reps=${1:-3}
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/lib.sh"
cli=${2:-}
python=/usr/bin/python3
bench_workspace reconnect-bench

release_cli

echo "== Tree: 3000 files of 1-4 KiB in 60 folders, with and without drops every 500 commands"
"$python" - "$work" <<'PY'
import json, os, random, sys
rng = random.Random(20261208)
tree = {}
for i in range(3000):
    top = tree.setdefault("d%d" % (i % 6), {"folder": {}})["folder"]
    sub = top.setdefault("s%d" % (i % 60), {"folder": {}})["folder"]
    sub["f%04d.bin" % i] = {"data": "".join(rng.choice("abcdefgh") for _ in range(rng.randint(1024, 4096)))}
    folder = os.path.join(sys.argv[1], "tree", "d%d" % (i % 6), "s%d" % (i % 60))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%04d.bin" % i), "w") as out:
        out.write(sub["f%04d.bin" % i]["data"])
for name, extra in (("steady", {}), ("dropping", {"drop_every": 500})):
    with open(os.path.join(sys.argv[1], name + ".json"), "w") as out:
        json.dump(dict(extra, tree=tree), out)
PY

db=$work/projects.db

# Seconds of one run of the tree `kind`, checked for success and for every file.
timed_run() {
    local kind=$1 start end line
    coproc SERVER { exec "$python" "$root/tests/support/virtual_ftp.py" --tree "$work/$kind.json" 2>/dev/null; }
    server_pid=$SERVER_PID
    read -r -t 15 line <&"${SERVER[0]}" || { echo "the FTP server did not start" >&2; exit 1; }
    store_bench_project "$db" "${line#PORT }" "$work/copy"
    rm -rf "$work/copy"
    start=$(date +%s.%N)
    "$cli" --db "$db" run bench >"$work/run.out" || { echo "the run failed:" >&2; tail -3 "$work/run.out" >&2; exit 1; }
    end=$(date +%s.%N)
    stop_server
    grep -q 'File(s):3000, Failed Folder(s):0, Failed File(s):0\.' "$work/run.out" \
        || { echo "the $kind run missed files:" >&2; tail -1 "$work/run.out" >&2; exit 1; }
    diff -r "$work/tree" "$work/copy" >/dev/null || { echo "the $kind copy differs from the tree" >&2; exit 1; }
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }'
}

steady=()
dropping=()
for ((i = 0; i < reps; i++)); do
    steady+=("$(timed_run steady)")
    dropping+=("$(timed_run dropping)")
done
s=$(median "${steady[@]}")
d=$(median "${dropping[@]}")
ratio=$(awk -v s="$s" -v d="$d" 'BEGIN { printf "%.2f", d / s }')
printf '%-36s %8s s\n' "steady server (median of $reps)" "$s" "dropping every 500 commands" "$d"
echo "the dropping run takes ${ratio}x the steady one (goal: at most 1.3x)"
awk -v r="$ratio" 'BEGIN { exit !(r <= 1.3) }'
