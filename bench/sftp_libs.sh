#!/usr/bin/env bash
# Measures the two SSH libraries (bench/sftp_libs.cpp) against OpenSSH's sshd on 127.0.0.1:
# a large file read and written, and many small files read, over one session each.
#   bench/sftp_libs.sh [SIZE_MIB] [SMALL_FILES]     # as root; defaults 512 and 2000
# Needs root: sshd runs from its own configuration and host key in a work folder and logs in
# the user "vornsftpbench" (created when missing, password set for the run; no shell, sftp only).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/bench/lib.sh"
size=${1:-512}
count=${2:-2000}
user=vornsftpbench
password=bench-secret

[ "$(id -u)" -eq 0 ] || { echo "needs root (sshd)"; exit 2; }
bench_workspace sftp-libs
chmod 755 "$work"
id -u "$user" >/dev/null 2>&1 || useradd -M -d /nonexistent -s /usr/sbin/nologin "$user"
echo "$user:$password" | chpasswd
mkdir -p /run/sshd

g++ -O2 -std=c++20 "$root/bench/sftp_libs.cpp" -o "$work/sftp_libs" \
    $(pkg-config --cflags --libs libssh libssh2)
g++ -O2 -std=c++20 -I"$root/src" "$root/bench/sftp_client_files.cpp" "$root"/src/sftpclient/{BulkReader,HostKeys,SftpFiles,SftpLogin,SftpSession,SftpTransfer}.cpp \
    -o "$work/sftp_client_files" $(pkg-config --cflags --libs libssh2 libssh) -lcrypto -pthread

remote=$work/remote
mkdir -p "$remote/small" "$work/local"
head -c "$((size << 20))" /dev/urandom >"$remote/big.bin"
for i in $(seq 1 "$count"); do head -c "$(( (i * 7919) % 32768 + 1024 ))" /dev/urandom >"$remote/small/f$i"; done
chown -R "$user" "$remote"

check_copies() {
    cmp "$remote/big.bin" "$work/local/big-libssh2.bin" && cmp "$remote/big.bin" "$work/local/big-libssh.bin"
    cmp "$remote/big.bin" "$remote/up-libssh2.bin" && cmp "$remote/big.bin" "$remote/up-libssh.bin"
    diff -r "$remote/small" "$work/local/small-libssh2" && diff -r "$remote/small" "$work/local/small-libssh"
    echo "every copy is whole"
}

# The project's client on the same small files (its own known-hosts file names the server).
client_files() {
    rm -rf "$work/local/small-client" && mkdir -p "$work/local/small-client"
    echo "[127.0.0.1]:$1 $(cut -d' ' -f1,2 "$work/host_key.pub")" >"$work/known_hosts"
    timeout 900 "$work/sftp_client_files" 127.0.0.1 "$1" "$user" "$password" "$work/known_hosts" \
        "$remote/small" "$work/local/small-client" "$remote/big.bin"
    cmp "$remote/big.bin" "$work/local/small-client/large-first"
    cmp "$remote/big.bin" "$work/local/small-client/large-second"
    rm -f "$work/local/small-client"/large-*
    diff -r "$remote/small" "$work/local/small-client"
}

ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat >"$work/sshd_config" <<EOF
Port $port
ListenAddress 127.0.0.1
HostKey $work/host_key
PidFile none
UsePAM yes
PasswordAuthentication yes
AllowUsers $user
ForceCommand internal-sftp
Subsystem sftp internal-sftp
EOF
/usr/sbin/sshd -D -e -f "$work/sshd_config" 2>"$work/sshd.log" &
server_pid=$!
for _ in $(seq 1 100); do
    (echo >/dev/tcp/127.0.0.1/"$port") 2>/dev/null && break
    sleep 0.1
done

echo "== ${size} MiB file, $count small files (1-33 KiB), loopback, one session per library"
sync
timeout 900 "$work/sftp_libs" 127.0.0.1 "$port" "$user" "$password" "$remote" "$work/local"
check_copies
client_files "$port"

# The same through a relay that delays each direction by DELAY_MS (a round trip of twice that).
delay=${VORN_BENCH_DELAY_MS:-5}
proxy_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
python3 "$root/bench/tcp_delay_relay.py" "$proxy_port" "$port" "$delay" &
proxy_pid=$!
trap 'kill $proxy_pid 2>/dev/null || true; bench_cleanup' EXIT
for _ in $(seq 1 100); do
    (echo >/dev/tcp/127.0.0.1/"$proxy_port") 2>/dev/null && break
    sleep 0.1
done
rm -rf "$work/local"/* "$remote"/up-*
echo "== the same with $((2 * delay)) ms round trips"
timeout 900 "$work/sftp_libs" 127.0.0.1 "$proxy_port" "$user" "$password" "$remote" "$work/local"
check_copies
client_files "$proxy_port"
