#!/usr/bin/env bash
# Times restores from archive chains made by real runs against a pyftpdlib server on
# 127.0.0.1. Not a test: prints the medians and the ratios.
#
#  1. The 3000-file tree (1-32 KiB in 60 folders) backed up by one full and five incremental
#     runs (each changes 150 files, adds 30 and deletes 30): `vornbackup-cli restore` of the
#     newest point against `7z x` of the six archives in order (goal: at least as fast).
#  2. One file from the end of a large archive (the same tree plus two files of 256 MiB):
#     `restore --include` of the archive's last entry (goal: well under a second), beside
#     `7z x` of that one entry.
#
# Usage: bench/restore-bench.sh [REPS] [CLI]
#   REPS  timed runs of each kind, the median counts (default 3)
#   CLI   the vornbackup-cli to time (default: a Release build in build-release, made here)
set -euo pipefail

reps=${1:-3}
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/lib.sh"
cli=${2:-}
python=/usr/bin/python3
bench_workspace restore-bench
release_cli

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
store_bench_project "$db" "$port" "$work/archives"
"$python" - "$db" <<'PY'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
db.execute("update gm_ftp_plantable set ftpiscompress = 1, ftpcompass = 'pw' where ftpname = 'bench'")
db.commit()
PY
"$cli" --db "$db" options bench incremental=on full-every=10 >/dev/null

# The next run's archive needs a later second than the last one's name.
next_second() { local now; now=$(date +%s); while [[ $(date +%s) == "$now" ]]; do sleep 0.05; done; }
backup() { "$cli" --db "$db" run bench >"$work/run.out" || { tail -3 "$work/run.out" >&2; exit 1; }; }

echo "== Backups: one full, five incremental"
backup
for round in 1 2 3 4 5; do
    "$python" - "$work/tree" "$round" <<'PY'
import os, random, sys
root, round_ = sys.argv[1], int(sys.argv[2])
rng = random.Random(round_)
files = sorted(os.path.join(d, f) for d, _, fs in os.walk(root) for f in fs)
for path in rng.sample(files, 180)[:150]:
    with open(path, "wb") as out:
        out.write(rng.randbytes(rng.randint(1024, 32768)))
for path in rng.sample(files, 30):
    if os.path.exists(path):
        os.remove(path)
for i in range(30):
    with open(os.path.join(root, "d%d" % (i % 6), "added-%d-%d.bin" % (round_, i)), "wb") as out:
        out.write(rng.randbytes(rng.randint(1024, 32768)))
PY
    next_second
    backup
done
files=$(find "$work/tree" -type f | wc -l)
mapfile -t archives < <(ls "$work/archives"/*.zip | sort)
[[ ${#archives[@]} == 6 ]] || { echo "expected 6 archives, found ${#archives[@]}" >&2; exit 1; }

seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f\n", b - a }'; }
timed_restore() { # ARGS...: seconds of one restore into $work/out, checked
    rm -rf "$work/out"
    sync
    local start end
    start=$(date +%s.%N)
    "$cli" --db "$db" restore bench "$@" >"$work/restore.out" || { tail -3 "$work/restore.out" >&2; exit 1; }
    end=$(date +%s.%N)
    seconds "$start" "$end"
}
# ARCHIVES...: seconds of 7z x of each into $work/out7, and in $synced the same with the
# sync that puts the files on disk, as the restore does before its result line.
timed_7z() {
    rm -rf "$work/out7"
    sync
    local start end
    start=$(date +%s.%N)
    for zip in "$@"; do 7z x -y -ppw -o"$work/out7" "$zip" >/dev/null; done
    end=$(date +%s.%N)
    sync
    seconds "$start" "$end"
    seconds "$start" "$(date +%s.%N)" >"$work/synced"
}

echo "== Restore of the newest point ($files files) against 7z x of the six archives"
vorn=()
sevenzip=()
sevenzipSynced=()
for ((i = 0; i < reps; i++)); do
    vorn+=("$(timed_restore --to "$work/out")")
    grep -q "^Restore Results: File(s):$files, Kept File(s):0, Failed File(s):0\.$" "$work/restore.out" \
        || { echo "the restore is not whole:" >&2; tail -1 "$work/restore.out" >&2; exit 1; }
    diff -r "$work/tree" "$work/out" >/dev/null || { echo "the restored tree differs" >&2; exit 1; }
    sevenzip+=("$(timed_7z "${archives[@]}")")
    sevenzipSynced+=("$(cat "$work/synced")")
done
v=$(median "${vorn[@]}")
z=$(median "${sevenzip[@]}")
zs=$(median "${sevenzipSynced[@]}")

echo "== One file from the end of a large archive"
stop_server
dd if=/dev/urandom of="$work/tree/big1.bin" bs=1M count=256 status=none
dd if=/dev/urandom of="$work/tree/big2.bin" bs=1M count=256 status=none
rm -rf "$work/archives"
coproc SERVER { exec "$python" "$root/tests/support/ftp_server.py" --root "$work/tree" 2>"$work/server.log"; }
server_pid=$SERVER_PID
read -r -t 15 line <&"${SERVER[0]}" || { echo "the FTP server did not start" >&2; exit 1; }
port=${line#PORT }
store_bench_project "$db" "$port" "$work/archives"
"$python" - "$db" <<'PY'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
db.execute("update gm_ftp_plantable set ftpiscompress = 1, ftpcompass = 'pw' where ftpname = 'bench'")
db.execute("delete from vorn_archives")
db.execute("delete from vorn_copied")
db.commit()
PY
backup
big=$(ls "$work/archives"/*.zip)
last=$("$python" - "$big" <<'PY'
import sys, zipfile
entries = sorted(zipfile.ZipFile(sys.argv[1]).infolist(), key=lambda e: e.header_offset)
print([e.filename for e in entries if not e.filename.startswith(".vornbackup-manifest")][-1])
PY
)
size=$(du -m "$big" | cut -f1)
one=()
one7z=()
for ((i = 0; i < reps; i++)); do
    one+=("$(timed_restore --include "$last" --to "$work/out")")
    grep -q "^Restore Results: File(s):1, Kept File(s):0, Failed File(s):0\.$" "$work/restore.out" \
        || { echo "the one-file restore failed:" >&2; tail -1 "$work/restore.out" >&2; exit 1; }
    cmp -s "$work/tree/$last" "$work/out/$last" || { echo "the restored file differs" >&2; exit 1; }
    rm -rf "$work/out7"
    sync
    start=$(date +%s.%N)
    7z x -y -ppw -o"$work/out7" "$big" "$last" >/dev/null
    one7z+=("$(seconds "$start" "$(date +%s.%N)")")
done
o=$(median "${one[@]}")
o7=$(median "${one7z[@]}")

echo
printf '%-58s %8s s\n' "vornbackup-cli restore, newest of 1 full + 5 incremental" "$v" \
    "7z x of the six archives in order" "$z" \
    "7z x of the six archives in order, then sync" "$zs" \
    "vornbackup-cli restore of \"$last\" from a ${size} MiB archive" "$o" \
    "7z x of that one entry" "$o7"
echo "chain restore: 7z / vorn = $(awk -v z="$z" -v v="$v" 'BEGIN { printf "%.2f", z / v }') (goal: at least 1);" \
    "with the sync: $(awk -v z="$zs" -v v="$v" 'BEGIN { printf "%.2f", z / v }')"
echo "one file: $(awk -v o="$o" 'BEGIN { printf "%.3f", o }') s (goal: well under 1 s); 7z / vorn = $(awk -v a="$o7" -v b="$o" 'BEGIN { printf "%.2f", a / b }')"
