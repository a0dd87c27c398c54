#!/usr/bin/env bash
# How fast the client reads a large LIST reply, and in how much memory: 200 000 lines (or
# LINES) of the forms servers print, mixed, with one line in fifty that it cannot read.
# First in memory (ParseListLine over the text), then through a whole session against the
# scripted test server on 127.0.0.1, which serves the same text as its LIST of "/".
# Usage: bench/listing_bench.sh [LINES]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
lines=${1:-200000}
build=$root/build-bench
work=$(mktemp -d /tmp/vorn-listing-bench.XXXXXX)
server=
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_GUI=OFF -DVORN_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target vorn_ftpclient -j2 >/dev/null
g++ -std=c++20 -O2 -include utility -I"$root/src" "$root/bench/listing_parse.cpp" \
    "$build/src/ftpclient/libvorn_ftpclient.a" "$build/src/common/libvorn_common.a" \
    -lssl -lcrypto -pthread -o "$work/listing_parse"

python3 - "$lines" "$work/listing.txt" <<'PY'
import sys
count, path = int(sys.argv[1]), sys.argv[2]
forms = [
    "-rw-r--r--   1 owner    group    {size:>10} Mar 15 14:25 file {i}.txt",
    "drwxr-xr-x   2 owner    group          4096 Oct 22  2002 folder {i}",
    "-rw-r--r--   1 owner       {size:>10} Jan  9 03:26 no group {i}",
    "-rw-r--r--   1 user     group    {size:>10} 26. Juli, 20:10 german {i}",
    "-rw-r--r--   1 user     group    {size:>10}  3月 15 14:25 日本語 {i}.txt",
    "-rw-r--r--   1 user     group    {size:>10} 2012-03-15 14:25 iso {i}",
    "-rw-r--r--   1 user     group    {size:>10} 24-04-2003 17:12 european {i}",
    "-rw-r--r--   1 user     group         33.5k Oct 08, 2002 09:47 approximate {i}",
    "lrwxrwxrwx   1 root     root             7 Mar 15 14:25 link {i} -> target",
    "d [R----F--] supervisor        512       Jan 16 18:53    netware {i}",
    "100644 1 500 100 {size} 1155110400 octal {i}",
    "03-15-12  02:25PM            {size:>10} dos {i}.txt",
]
with open(path, "w", encoding="utf-8", newline="") as out:
    for i in range(count):
        if i % 50 == 49:
            out.write("this line is no listing %d\r\n" % i)
        else:
            out.write(forms[i % len(forms)].format(i=i, size=(i * 7919) % 100000000) + "\r\n")
PY
echo "listing: $lines lines, $(du -h "$work/listing.txt" | cut -f1)"
"$work/listing_parse" parse "$work/listing.txt"

python3 "$root/tests/ftpclient/scripted_ftp_server.py" --list "$work/listing.txt" >"$work/port" 2>/dev/null &
server=$!
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cut -d' ' -f2 "$work/port")
"$work/listing_parse" session "$port"
