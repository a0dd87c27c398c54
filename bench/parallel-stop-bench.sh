#!/usr/bin/env bash
# How fast Stop ends a run that transfers on four sessions at once: `vornbackup-cli run` of a
# project with connections=4 against a throttled pyftpdlib server on 127.0.0.1 (256 KiB/s per
# data connection, eight files of 8 MiB, so the run would take a minute), sent SIGINT once
# four files are on their way. Prints the seconds from the signal to the command's exit
# (goal: within 1 s) and checks the run ended stopped with no partial file left.
# Usage: bench/parallel-stop-bench.sh [TRIALS]   (default 5; Release build in build-release/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/lib.sh"
trials=${1:-5}
python=/usr/bin/python3
bench_workspace pstop-bench

cli=
release_cli

mkdir -p "$work/tree"
for i in 1 2 3 4 5 6 7 8; do head -c $((8 << 20)) /dev/urandom >"$work/tree/f$i.bin"; done
coproc SERVER { exec "$python" "$root/tests/support/ftp_server.py" --root "$work/tree" --slow-data 262144 \
    2>"$work/server.log"; }
server_pid=$SERVER_PID
read -r -t 15 line <&"${SERVER[0]}" || { echo "the FTP server did not start" >&2; exit 1; }
port=${line#PORT }

db=$work/projects.db
store_bench_project "$db" "$port" "$work/copy"
"$cli" --db "$db" options bench connections=4 >/dev/null

# Files on their way: the temporary files of the downloads in the copy's folder.
on_the_way() { find "$work/copy" -maxdepth 1 -type f -size +0 2>/dev/null | wc -l; }

times=()
for ((t = 0; t < trials; t++)); do
    rm -rf "$work/copy"
    "$cli" --db "$db" run bench >"$work/run.out" 2>"$work/run.err" &
    run=$!
    for _ in $(seq 1 300); do [ "$(on_the_way)" -ge 4 ] && break; sleep 0.1; done
    [ "$(on_the_way)" -ge 4 ] || { echo "four downloads never got under way" >&2; kill "$run"; exit 1; }
    start=$(date +%s.%N)
    kill -INT "$run"
    wait "$run" && { echo "the stopped run exited 0" >&2; exit 1; } || true
    end=$(date +%s.%N)
    grep -q 'Transmission Results: stopped!' "$work/run.out" || { echo "the run did not end stopped" >&2; exit 1; }
    [ "$(find "$work/copy" -type f | wc -l)" -eq 0 ] || { echo "partial files were left" >&2; exit 1; }
    times+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')")
done
median=$(median "${times[@]}")
worst=$(printf '%s\n' "${times[@]}" | sort -g | tail -1)
echo "Stop with four sessions under way, $trials trials: median ${median} s, worst ${worst} s (goal: within 1 s)"
awk -v w="$worst" 'BEGIN { exit !(w <= 1.0) }'
