# Pieces the benchmarks share; sourced, not run. Each expects `root` (the checkout) and
# `python` (/usr/bin/python3) to be set.

# A work folder `work` below /tmp named after NAME, removed at exit together with the test
# server whose PID the script keeps in `server_pid` (stop_server stops it earlier).
bench_workspace() {
    work=$(mktemp -d "/tmp/vorn-$1.XXXXXX")
    server_pid=
    trap bench_cleanup EXIT
}
stop_server() {
    if [[ -n ${server_pid:-} ]]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
        server_pid=
    fi
}
bench_cleanup() {
    local status=$?
    stop_server
    rm -rf "$work"
    exit "$status"
}

# Builds vornbackup-cli in Release (build-release/) unless `cli` already names one, and sets
# `cli` to it.
release_cli() {
    [[ -n ${cli:-} ]] && return
    echo "== Release build"
    cmake -S "$root" -B "$root/build-release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_GUI=OFF \
        -DVORN_BUILD_TESTS=OFF >/dev/null
    cmake --build "$root/build-release" -j2 --target vornbackup-cli >/dev/null
    cli=$root/build-release/src/app/vornbackup-cli
}

# Stores the Ftp->Local project "bench" in the database DB (made when missing): the whole
# tree of the test server on 127.0.0.1:PORT (USER and PASSWORD, by default "user" and
# "secret") into DEST, a full backup without rules. An earlier "bench" is replaced.
store_bench_project() {
    local db=$1 port=$2 dest=$3 user=${4:-user} password=${5:-secret}
    [[ -f $db ]] || "$cli" --db "$db" list >/dev/null # creates the project table
    "$python" - "$db" "$port" "$dest" "$user" "$password" <<'PY'
import sqlite3, sys
db = sqlite3.connect(sys.argv[1])
db.execute("delete from gm_ftp_plantable where ftpname = 'bench'")
db.execute("insert into gm_ftp_plantable (ftpname, ftpcreatetime, ftpmodifytime, ftpsource, ftpdest, "
           "ftpip, ftpuser, ftppassword, ftpport, ftpactive, ftpbackmode, ftptype, ftprule, ftpplanmode, "
           "ftpplan, ftphour, ftpminute, ftpdaymode, ftpstatus, ftpruntime, ftpmem, ftpiscompress) "
           "values ('bench', '', '', '/', ?, '127.0.0.1', ?, ?, ?, 0, 1, 1, '', 3, '', 0, 0, 1, "
           "'', '', '', 0)", (sys.argv[3], sys.argv[4], sys.argv[5], sys.argv[2]))
db.commit()
PY
}

# The median of the numbers given.
median() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }
