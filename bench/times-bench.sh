#!/usr/bin/env bash
# What exact modification times cost: `vornbackup-cli run` (times to the second, asking MDTM in
# one batch per folder where the listing has only the minute or the day) against an earlier
# vornbackup-cli that keeps the listed times (VORN_TIMES_BASELINE) and `lftp mirror` (which asks
# MDTM too), all reading the 3000-file tree (60 folders, 1-32 KiB each) from a loopback vsftpd,
# which lists `ls -l` style only. The files' times lie over the last two years with seconds,
# so the listing shows the minute for some and only the day for the others.
# Every copy is compared with the tree; the copies of vornbackup-cli must carry every file's
# time to the second (the others' are counted, not required). Not a test: prints medians and
# the ratios current / baseline and current / lftp.
#
# Rows (each tool takes its turn at going first; REPS runs, the median counts):
#   loopback   straight to vsftpd, connections=1 (lftp mirror --parallel=1)
#   20 ms      through bench/delay_proxy.py at 20 ms round trip, connections=4 (--parallel=4)
#
# Usage: bench/times-bench.sh [REPS]    (as root; default 3)
# Environment: VORN_TIMES_BASELINE  the earlier vornbackup-cli (required)
#              VORN_TIMES_ROWS      rows to time (default "loopback 20ms")
#              VORN_TIMES_CONNS     connections of the loopback and the 20 ms row (default "1 4")
#              VORN_TIMES_USER      vsftpd's login user (default vorntimes, added when missing)
#              VORN_TIMES_PASV      vsftpd's passive ports (default 61500-61699)
#              VORN_TIMES_TIMEOUT   seconds one tool run may take before it is killed (600)
#              VORN_TIMES_NO_MDTM=1 vsftpd refuses MDTM: every tool keeps the listed times, which
#                                   shows what the MDTM batches alone cost the current build
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/lib.sh"
python=/usr/bin/python3
reps=${1:-3}
baseline=${VORN_TIMES_BASELINE:-}
rows=${VORN_TIMES_ROWS:-loopback 20ms}
read -r loop_conns far_conns <<<"${VORN_TIMES_CONNS:-1 4}"
user=${VORN_TIMES_USER:-vorntimes}
pasv=${VORN_TIMES_PASV:-61500-61699}
limit=${VORN_TIMES_TIMEOUT:-600}

for tool in /usr/sbin/vsftpd /usr/bin/lftp /usr/bin/timeout $python; do
    [[ -x $tool ]] || { echo "times-bench: $tool is missing (scripts/setup installs it)" >&2; exit 1; }
done
[[ -x $baseline ]] || { echo "times-bench: VORN_TIMES_BASELINE names no vornbackup-cli" >&2; exit 2; }

bench_workspace times-bench
chmod 755 "$work"
proxy_pid=
stop_proxy() {
    if [[ -n $proxy_pid ]]; then
        kill "$proxy_pid" 2>/dev/null || true
        wait "$proxy_pid" 2>/dev/null || true
        proxy_pid=
    fi
}
times_cleanup() {
    local status=$?
    stop_proxy
    stop_server
    rm -rf "$work"
    exit "$status"
}
trap times_cleanup EXIT

release_cli

tree=$work/tree
echo "== Tree: 3000 files of 1-32 KiB in 60 folders, times over two years with seconds"
"$python" - "$tree" <<'PY'
import os, random, sys, time
top = sys.argv[1]
rng = random.Random("vorn-bench-a")
folders = []
for d in range(6):
    folders.append("d%d" % d)
    folders += ["d%d/s%d" % (d, s) for s in range(9)]
now = int(time.time())
for i in range(3000):
    path = os.path.join(top, folders[i % 60], "f%04d.bin" % i)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(rng.randbytes(rng.randint(1024, 32768)))
    # Never on a whole minute: a copy with the listed time is then always off.
    t = now - rng.randint(3600, 2 * 365 * 86400)
    t -= t % 60 - rng.randint(1, 59)
    os.utime(path, (t, t))
PY
chmod -R a+rX "$tree"
total_files=$(find "$tree" -type f | wc -l)

echo "== vsftpd on 127.0.0.1 (LIST only)"
id -u "$user" >/dev/null 2>&1 || useradd -M -d "$tree" -s /bin/bash "$user"
usermod -d "$tree" "$user"
password=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
echo "$user:$password" | chpasswd
mkdir -p /var/run/vsftpd/empty
server_port=$("$python" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$work/vsftpd.conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$server_port
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=NO
chroot_local_user=YES
allow_writeable_chroot=YES
local_root=$tree
pasv_enable=YES
pasv_address=127.0.0.1
pasv_min_port=${pasv%-*}
pasv_max_port=${pasv#*-}
pam_service_name=vsftpd
secure_chroot_dir=/var/run/vsftpd/empty
seccomp_sandbox=NO
xferlog_enable=NO
dirmessage_enable=NO
max_clients=60
max_per_ip=60
EOF
[[ ${VORN_TIMES_NO_MDTM:-0} != 1 ]] || echo "cmds_denied=MDTM" >>"$work/vsftpd.conf"
nice -n -10 /usr/sbin/vsftpd "$work/vsftpd.conf" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$server_port") 2>/dev/null && break
    sleep 0.1
done

# A proxy with one-way delay MS in front of the server; sets proxy_port.
start_proxy() {
    rm -f "$work/proxy.port"
    nice -n -10 "$python" "$root/bench/delay_proxy.py" --server-port "$server_port" --delay-ms "$1" \
        --log /dev/null --port-file "$work/proxy.port" --max-seconds $((limit + 60)) 2>>"$work/proxy.err" &
    proxy_pid=$!
    for _ in $(seq 100); do
        [[ -s $work/proxy.port ]] && { proxy_port=$(cat "$work/proxy.port"); return 0; }
        sleep 0.05
    done
    echo "the proxy did not start:" >&2
    cat "$work/proxy.err" >&2
    exit 1
}

lftp_set="set ftp:ssl-allow no; set ftp:passive-mode yes; set cmd:fail-exit yes; set net:max-retries 1"

# The command line of TOOL with N connections to PORT into DEST. Each vornbackup-cli keeps its
# own project database (the earlier one may not know the current one's columns).
tool_command() {
    local tool=$1 n=$2 port=$3 dest=$4
    case $tool in
    vorn | vornbase)
        local db=$work/$tool.db saved=$cli
        [[ $tool == vorn ]] || cli=$baseline
        store_bench_project "$db" "$port" "$dest" "$user" "$password"
        "$cli" --db "$db" options bench connections="$n" >/dev/null
        cmd=("$cli" --db "$db" run bench)
        cli=$saved ;;
    lftp) cmd=(lftp -u "$user,$password" -p "$port" -e "$lftp_set; mirror --parallel=$n / $dest; quit" 127.0.0.1) ;;
    esac
}

# How many files of the copy DEST differ in modification time (to the second) from the tree.
times_off() {
    "$python" - "$tree" "$1" <<'PY'
import os, sys
tree, copy = sys.argv[1:]
off = 0
for folder, _, names in os.walk(tree):
    for name in names:
        source = os.path.join(folder, name)
        target = os.path.join(copy, os.path.relpath(source, tree))
        off += int(os.stat(source).st_mtime) != int(os.stat(target).st_mtime)
print(off)
PY
}

results=$work/results.txt
: >"$results"

# One timed run of TOOL in ROW, checked: whole copy, and the times of vornbackup-cli's exact.
measure() {
    local row=$1 tool=$2 rep=$3 n=$loop_conns port=$server_port status=0 check=ok off=-
    local dest=$work/copy
    rm -rf "$dest"
    mkdir -p "$dest"
    if [[ $row == 20ms ]]; then
        n=$far_conns
        start_proxy 10
        port=$proxy_port
    fi
    tool_command "$tool" "$n" "$port" "$dest"
    sync
    local start=$EPOCHREALTIME
    timeout -k 5 "$limit" "${cmd[@]}" >"$work/tool.out" 2>"$work/tool.err" || status=$?
    local seconds
    seconds=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }')
    stop_proxy
    if ((status != 0)); then
        check=FAILED
    elif [[ $tool == vorn* ]] && ! tail -n1 "$work/tool.out" \
        | grep -q "File(s):$total_files, Failed Folder(s):0, Failed File(s):0."; then
        check=FAILED
    elif ! diff -rq "$tree" "$dest" >/dev/null; then
        check=MISMATCH
    else
        off=$(times_off "$dest")
        [[ $tool != vorn || $off == 0 || ${VORN_TIMES_NO_MDTM:-0} == 1 ]] || check=TIMES
    fi
    [[ $check == ok ]] || { echo "  $row $tool #$rep: $check, exit $status"; tail -n3 "$work/tool.err"; } >&2
    echo "$row $tool $rep $seconds $check $off" >>"$results"
    printf '  %-8s %-8s #%s: %8ss  %-8s times off: %s of %s\n' "$row" "$tool" "$rep" "$seconds" "$check" "$off" \
        "$total_files"
}

load_before=$(uptime)
tools=(vorn vornbase lftp)
for row in $rows; do
    echo "== $row"
    for rep in $(seq "$reps"); do
        for i in 0 1 2; do measure "$row" "${tools[(rep + i) % 3]}" "$rep"; done
    done
done
echo
echo "load before: $load_before"
echo "load after:  $(uptime)"
echo
for row in $rows; do
    declare -A med=()
    for tool in "${tools[@]}"; do
        # shellcheck disable=SC2046
        med[$tool]=$(median $(awk -v r="$row" -v t="$tool" '$1 == r && $2 == t && $5 == "ok" { print $4 }' "$results"))
    done
    # A tool without a whole run has no median, and no ratio.
    awk -v r="$row" -v a="${med[vorn]:-0}" -v b="${med[vornbase]:-0}" -v l="${med[lftp]:-0}" 'BEGIN {
        printf "%-8s vorn %6.2fs  baseline %6.2fs  lftp %6.2fs  vorn/baseline %s  vorn/lftp %s\n", r, a, b, l,
            (b > 0 ? sprintf("%.2f", a / b) : "-"), (l > 0 ? sprintf("%.2f", a / l) : "-") }'
done
