#!/usr/bin/env bash
# Times `vornbackup-cli run` on an SFTP->Local project against rclone, lftp and OpenSSH's own
# sftp and scp, all reading the same trees from one loopback sshd, side by side, and checks
# every copy against its tree. Not a test: it prints a table and the ratios we aim for.
#
# Trees: (a) 3000 files of 1-32 KiB in 60 folders (as run-bench.sh), (c) three files of 512 MiB.
# Rows:
#   one     one connection: vorn (connections=1), rclone copy --transfers 1 --checkers 1,
#           lftp mirror --parallel=1, sftp -b (get -r), scp -r
#   four    vorn with connections=4, rclone copy --transfers 4, lftp mirror --parallel=4
#
# Usage: bench/sftp-bench.sh [REPS]   (default 3 runs per tool; the median counts)
# Needs root: sshd runs from its own configuration and host key in the work folder and logs in
# the user "vornsftprun" (created when missing; SFTP only, no shell), with a fresh random
# password (vorn, rclone, lftp) and a key made for the run (sftp and scp, which have no way to
# give a password in batch mode).
# Environment: VORN_BENCH_TREES   trees to measure (default "a c")
#              VORN_BENCH_TIMEOUT seconds one tool run may take (default 600)
#              VORN_BENCH_CLI     a vornbackup-cli to use instead of building build-release/
#              VORN_BENCH_TOOLS   tools to run (default "vorn rclone lftp sftp scp")
set -euo pipefail

reps=${1:-3}
root=$(cd "$(dirname "$0")/.." && pwd)
python=/usr/bin/python3
source "$root/bench/lib.sh"
read -r -a trees_run <<<"${VORN_BENCH_TREES:-a c}"
limit=${VORN_BENCH_TIMEOUT:-600}
user=vornsftprun
cli=${VORN_BENCH_CLI:-}
read -r -a tools_run <<<"${VORN_BENCH_TOOLS:-vorn rclone lftp sftp scp}"

[[ $(id -u) -eq 0 ]] || { echo "sftp-bench: needs root (sshd)" >&2; exit 2; }
for tool in /usr/sbin/sshd /usr/bin/lftp /usr/bin/rclone /usr/bin/sftp /usr/bin/scp /usr/bin/time $python; do
    [[ -x $tool ]] || { echo "sftp-bench: $tool is missing (scripts/setup installs it)" >&2; exit 1; }
done
release_cli

bench_workspace sftp-bench
chmod 755 "$work"
trees=$work/trees
mkdir -p "$trees" "$work/copies" "$work/home/.ssh" /run/sshd
for tree in "${trees_run[@]}"; do
    echo "== Generating tree ($tree)"
    "$python" - "$trees" "$tree" <<'EOF'
import os, random, sys
top, tree = sys.argv[1:]
rng = random.Random("vorn-bench-" + tree)
def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)
if tree == "a":
    folders = []
    for d in range(6):
        folders.append("a/d%d" % d)
        folders += ["a/d%d/s%d" % (d, s) for s in range(9)]
    for i in range(3000):
        write(os.path.join(top, folders[i % 60], "f%04d.bin" % i), rng.randbytes(rng.randint(1024, 32768)))
else:
    os.makedirs(os.path.join(top, "c"), exist_ok=True)
    for i in range(3):
        with open(os.path.join(top, "c", "big%d.bin" % i), "wb") as out:
            for _ in range(512):
                out.write(rng.randbytes(1 << 20))
EOF
done
chmod -R a+rX "$trees"

echo "== sshd on 127.0.0.1"
id -u "$user" >/dev/null 2>&1 || useradd -M -d /nonexistent -s /usr/sbin/nologin "$user"
pass=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
echo "$user:$pass" | chpasswd
ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$work/user_key"
cp "$work/user_key.pub" "$work/authorized_keys"
chmod 644 "$work/authorized_keys"
port=$("$python" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat >"$work/sshd_config" <<EOF
Port $port
ListenAddress 127.0.0.1
HostKey $work/host_key
PidFile none
UsePAM yes
PasswordAuthentication yes
PubkeyAuthentication yes
AuthorizedKeysFile $work/authorized_keys
AllowUsers $user
ForceCommand internal-sftp
Subsystem sftp internal-sftp
MaxStartups 100
MaxSessions 100
StrictModes no
EOF
/usr/sbin/sshd -D -e -f "$work/sshd_config" 2>"$work/sshd.log" &
server_pid=$!
for _ in $(seq 1 100); do
    (echo >/dev/tcp/127.0.0.1/"$port") 2>/dev/null && break
    sleep 0.1
done
known=$work/home/.ssh/known_hosts
echo "[127.0.0.1]:$port $(cut -d' ' -f1,2 "$work/host_key.pub")" >"$known"
export HOME=$work/home # every tool reads this known_hosts and nothing of the caller's
ssh_opts=(-o BatchMode=yes -o UserKnownHostsFile="$known" -o StrictHostKeyChecking=yes -i "$work/user_key" -P "$port")

db=$work/projects.db
"$cli" --db "$db" list >/dev/null # creates the project table
for tree in "${trees_run[@]}"; do
    "$python" - "$db" "$port" "$user" "$pass" "$tree" "$trees/$tree" <<'EOF'
import sqlite3, sys
db, port, user, password, tree, source = sys.argv[1:]
with sqlite3.connect(db) as c:
    c.execute("insert into gm_ftp_plantable (ftpname, ftpsource, ftpdest, ftpip, ftpuser, ftppassword, ftpport,"
              " ftpactive, ftpbackmode, ftptype, ftprule, ftpiscompress, ftpcompass, ftpdestpath, ftpdestip,"
              " ftpdestuser, ftpdestpass, ftpdestport) values (?, ?, '', 'sftp://127.0.0.1', ?, ?, ?, 0, 1, 1, '',"
              " 0, '', '', '', '', '', '')", ("s-" + tree, source, user, password, port))
EOF
    "$cli" --db "$db" trust "s-$tree" --yes >/dev/null
done

# rclone reads the host key from the same known_hosts; it cannot run md5sum behind
# internal-sftp, so it is told there is no shell instead of trying.
cat >"$work/rclone.conf" <<EOF
[src]
type = sftp
host = 127.0.0.1
port = $port
user = $user
pass = $(rclone obscure "$pass")
known_hosts_file = $known
shell_type = none
EOF
lftp_set="set cmd:fail-exit yes; set sftp:connect-program 'ssh -a -x -o UserKnownHostsFile=$known -o StrictHostKeyChecking=yes'"

declare -A files bytes
for tree in "${trees_run[@]}"; do
    files[$tree]=$(find "$trees/$tree" -type f | wc -l)
    bytes[$tree]=$(find "$trees/$tree" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
done
results=$work/results.txt
: >"$results"
load_before=$(uptime)

# The command line of one tool; `dest` is a new folder the copy goes into.
tool_command() {
    local tool=$1 tree=$2 conns=$3 dest=$4
    case $tool in
    vorn) cmd=("$cli" --db "$db" run "s-$tree") ;;
    rclone) cmd=(rclone --config "$work/rclone.conf" -q copy --transfers "$conns" --checkers "$conns" "src:$trees/$tree" "$dest") ;;
    lftp) cmd=(lftp -u "$user,$pass" -e "$lftp_set; mirror --parallel=$conns $trees/$tree $dest; quit" "sftp://127.0.0.1:$port") ;;
    sftp)
        echo "get -r $trees/$tree $dest" >"$work/batch"
        cmd=(sftp -q "${ssh_opts[@]}" -b "$work/batch" "$user@127.0.0.1") ;;
    scp) cmd=(scp -q -r "${ssh_opts[@]}" "$user@127.0.0.1:$trees/$tree" "$dest") ;;
    *) echo "sftp-bench: no command for $tool" >&2; exit 2 ;;
    esac
}

# One timed run into a new folder, then the copy compared with its tree.
measure() {
    local row=$1 tool=$2 tree=$3 rep=$4
    local conns=1 dest=$work/copies/$1-$2-$3-$4 timing=$work/timing check=ok status=0
    [[ $row == four ]] && conns=4
    if [[ $tool == vorn ]]; then
        "$python" -c 'import sqlite3, sys; c = sqlite3.connect(sys.argv[1]); c.execute("update gm_ftp_plantable set ftpdest = ? where ftpname = ?", sys.argv[2:4]); c.commit()' \
            "$db" "$dest" "s-$tree"
        "$cli" --db "$db" options "s-$tree" connections=$conns >/dev/null
    fi
    tool_command "$tool" "$tree" "$conns" "$dest"
    sync # no run pays for the write-back of an earlier one
    timeout -k 5 "$limit" /usr/bin/time -f "%e %M %U %S" -o "$timing" "${cmd[@]}" >"$work/tool.out" 2>"$work/tool.err" \
        || status=$?
    if ((status == 124 || status == 137)); then
        check=TIMEOUT
    elif ((status != 0)); then
        check=FAILED
    elif [[ $tool == vorn ]] && ! tail -n1 "$work/tool.out" \
        | grep -q "File(s):${files[$tree]}, Failed Folder(s):0, Failed File(s):0."; then
        check=FAILED
    elif ! diff -rq "$trees/$tree" "$dest" >/dev/null; then
        check=MISMATCH
    fi
    [[ $check == ok ]] || { echo "  $row $tool $tree #$rep: $check, exit $status"; tail -n3 "$work/tool.err" "$work/tool.out"; } >&2
    local figures="$limit 0 0 0"
    [[ $check == TIMEOUT ]] || figures=$(tail -n1 "$timing")
    echo "$row $tool $tree $rep $figures $check" >>"$results"
    printf '  %-5s %-6s %s #%s: %7ss  %s\n' "$row" "$tool" "$tree" "$rep" "${figures%% *}" "$check"
    rm -rf "$dest"
}

# The tools named that VORN_BENCH_TOOLS selects, in the order named.
selected() {
    local tool
    for tool in "$@"; do
        [[ " ${tools_run[*]} " == *" $tool "* ]] && echo "$tool"
    done
    return 0
}

# Every tool of a row REPS times, each taking its turn at going first.
measure_row() {
    local row=$1 tree=$2
    shift 2
    local tools=("$@") n=$#
    for rep in $(seq "$reps"); do
        for i in $(seq 0 $((n - 1))); do
            measure "$row" "${tools[(rep + i) % n]}" "$tree" "$rep"
        done
    done
}

for tree in "${trees_run[@]}"; do
    echo "== Tree ($tree)"
    find "$trees/$tree" -type f -exec cat {} + >/dev/null # every tool starts from a warm cache
    # shellcheck disable=SC2046 # one word per tool
    measure_row one "$tree" $(selected vorn rclone lftp sftp scp)
    [[ $tree != a ]] || measure_row four "$tree" $(selected vorn rclone lftp)
done

echo
echo "load before: $load_before"
echo "load after:  $(uptime)"
echo
for tree in "${trees_run[@]}"; do echo "$tree ${files[$tree]} ${bytes[$tree]}"; done >"$work/trees.txt"
"$python" - "$results" "$work/trees.txt" <<'EOF'
import collections, statistics, sys
results, stats = sys.argv[1:]
sizes = {t: (int(n), int(b)) for t, n, b in (line.split() for line in open(stats))}
trees = list(sizes)
runs = collections.defaultdict(list)
whole = collections.defaultdict(lambda: True)
for line in open(results):
    row, tool, tree, rep, secs, rss, user, system, check = line.split()
    runs[row, tool, tree].append((float(secs), float(user) + float(system), int(rss)))
    whole[row, tool, tree] &= check == "ok"
print("%-4s %-5s %-7s %9s %9s %9s %7s %9s %5s" % ("tree", "row", "tool", "median s", "files/s", "MB/s", "cpu s", "peak MiB", "copy"))
rate = {}
for (row, tool, tree), samples in runs.items():
    secs = statistics.median(s for s, _, _ in samples)
    cpu = statistics.median(c for _, c, _ in samples)
    rss = max(r for _, _, r in samples) / 1024
    n, size = sizes[tree]
    rate[row, tool, tree] = (n / secs, size / secs / (1 << 20))
    print("%-4s %-5s %-7s %9.2f %9.1f %9.1f %7.2f %9.1f %5s" % (tree, row, tool, secs, n / secs,
          size / secs / (1 << 20), cpu, rss, "ok" if whole[row, tool, tree] else "NO"))
print()
print("Targets (medians, side by side in this run):")
def ratio(label, a, b, target, unit):
    if a not in rate or b not in rate:
        return
    value = rate[a][unit] / rate[b][unit]
    verdict = "(target >= %.1f)  %s" % (target, "met" if value >= target else "not met") if target else ""
    print("  %-48s = %5.2f  %s" % (label, value, verdict))
ratio("(a) vorn x1 / rclone x1 files/s", ("one", "vorn", "a"), ("one", "rclone", "a"), 1.5, 0)
ratio("(a) vorn x1 / lftp x1 files/s", ("one", "vorn", "a"), ("one", "lftp", "a"), 1.0, 0)
ratio("(a) vorn x4 / rclone --transfers 4 files/s", ("four", "vorn", "a"), ("four", "rclone", "a"), 1.5, 0)
ratio("(c) vorn x1 / scp MB/s", ("one", "vorn", "c"), ("one", "scp", "c"), 0.9, 1)
print("Beside them (no target):")
for tree in trees:
    for other in ("sftp", "scp", "lftp", "rclone"):
        ratio("(%s) vorn x1 / %s x1 %s" % (tree, other, "files/s" if tree == "a" else "MB/s"),
              ("one", "vorn", tree), ("one", other, tree), 0, 0 if tree == "a" else 1)
ratio("(a) vorn x4 / lftp --parallel=4 files/s", ("four", "vorn", "a"), ("four", "lftp", "a"), 0, 0)
sys.exit(0 if all(whole.values()) else 1)
EOF
