#!/usr/bin/env bash
# Installs the build into a temporary prefix, as `cmake --install` does for a package, and
# checks the installed tree: exactly the expected files, programs that start from any folder,
# a valid menu entry with its icons, man pages that render and cover the command's verbs and
# options, the manual with its pictures, and the scheduler's user unit.
# Usage: check-install.sh BUILD_DIR WITH_GUI(0|1) VERSION
# Exit 77 (skipped) when a checking tool is missing, unless CI is 1 or true: a failure there.
set -euo pipefail
build=$1 gui=$2 version=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

for tool in desktop-file-validate man python3; do
    if ! command -v "$tool" >/dev/null; then
        case ${CI:-} in 1 | true) echo "FAIL: $tool is missing (scripts/setup installs it)" >&2; exit 1 ;; esac
        echo "SKIP: $tool is missing (scripts/setup installs it)"; exit 77
    fi
done

prefix=$tmp/usr
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" || { cat "$tmp/install.log"; exit 1; }

# Exactly these files, apart from the manual's own folder (checked below).
expected=(bin/vornbackup-cli share/man/man1/vornbackup.1.gz share/man/man1/vornbackup-cli.1.gz
    lib/systemd/user/vornbackup-scheduler.service)
if [ "$gui" = 1 ]; then
    expected+=(bin/vornbackup share/applications/vornbackup.desktop
        share/icons/hicolor/scalable/apps/vornbackup.svg)
    for size in 16 32 48 64 128 256; do
        expected+=("share/icons/hicolor/${size}x${size}/apps/vornbackup.png")
    done
fi
diff <(printf '%s\n' "${expected[@]}" | sort) \
    <(cd "$prefix" && find . -type f -not -path './share/vornbackup/*' | sed 's|^\./||' | sort) \
    || fail "the installed files differ from the expected ones (< expected, > installed)"

# The programs start from any folder; --help needs neither a database nor a display.
cd /
help=$("$prefix/bin/vornbackup-cli" --help) || fail "vornbackup-cli --help exits non-zero"
grep -q '^Usage: vornbackup-cli' <<<"$help" || fail "vornbackup-cli --help prints no usage"
listed=$("$prefix/bin/vornbackup-cli" --db "$tmp/projects.db" list) || fail "vornbackup-cli list fails"
[ -z "$listed" ] || fail "a new database lists projects: $listed"
if [ "$gui" = 1 ]; then
    gui_help=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/vornbackup" --help) \
        || fail "vornbackup --help exits non-zero without a display"
    for option in --db --run --version; do
        grep -q -- "$option" <<<"$gui_help" || fail "vornbackup --help does not mention $option"
    done
    gui_version=$(env -u DISPLAY -u WAYLAND_DISPLAY "$prefix/bin/vornbackup" --version) || true
    [ "$gui_version" = "vornbackup $version" ] || fail "vornbackup --version says '$gui_version'"
fi

# Man pages: render without warnings; the command's page names every verb and option of --help.
for page in vornbackup vornbackup-cli; do
    file=$prefix/share/man/man1/$page.1.gz
    [ "$gui" = 1 ] || [ "$page" = vornbackup-cli ] || continue
    text=$(MANWIDTH=100 man --warnings -l -P cat "$file" 2>"$tmp/man.err") || fail "man -l $page fails"
    [ ! -s "$tmp/man.err" ] || fail "man -l $page warns: $(cat "$tmp/man.err")"
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES; do
        grep -q "^$section" <<<"$text" || fail "$page(1) has no $section section"
    done
    if [ "$page" = vornbackup-cli ]; then cli_man=$text; fi
done
verbs=$(sed -n '/^Verbs:/,/^Options:/p' <<<"$help" | grep -oE '^  [a-z]+' | tr -d ' ')
[ -n "$verbs" ] || fail "no verbs found in vornbackup-cli --help"
for word in $verbs $(grep -oE -- '--[a-z][a-z-]*' <<<"$help" | sort -u); do
    grep -qF -- "$word" <<<"$cli_man" || fail "vornbackup-cli(1) does not document $word"
done

# The user unit runs the scheduler of the installed command.
unit=$prefix/lib/systemd/user/vornbackup-scheduler.service
grep -qE '^ExecStart=/[^ ]*/bin/vornbackup-cli schedule$' "$unit" || fail "the unit does not run 'vornbackup-cli schedule'"
grep -qx 'WantedBy=default.target' "$unit" || fail "the unit cannot be enabled for the user"

# The manual and every local picture or page it links to.
manual=$prefix/share/vornbackup
[ -f "$manual/index.html" ] || fail "no manual at $manual/index.html"
for link in $(grep -oE '(src|href)="[^":#]+"' "$manual/index.html" | sed -E 's/^[a-z]+="(.*)"$/\1/'); do
    [ -f "$manual/$link" ] || fail "the manual links to a missing $link"
done

if [ "$gui" = 1 ]; then
    desktop=$prefix/share/applications/vornbackup.desktop
    out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $out"
    ! grep -qE 'error|warning' <<<"$out" || fail "desktop-file-validate: $out"
    grep -qx 'Exec=vornbackup' "$desktop" && [ -x "$prefix/bin/vornbackup" ] || fail "the entry starts no installed program"
    grep -qx 'Icon=vornbackup' "$desktop" || fail "the entry does not name the program's icon"
    grep -qE '^Categories=(.*;)?Utility;(.*;)?Network;' "$desktop" || fail "the entry is not in Utility and Network"
    # Each PNG is as large as the folder it is in says.
    for size in 16 32 48 64 128 256; do
        actual=$(python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(24); print("%dx%d" % struct.unpack(">II", d[16:24]) if d[:8]==b"\x89PNG\r\n\x1a\n" else "not a PNG")' \
            "$prefix/share/icons/hicolor/${size}x${size}/apps/vornbackup.png")
        [ "$actual" = "${size}x${size}" ] || fail "the ${size}x${size} icon is $actual"
    done
    grep -q '<svg' "$prefix/share/icons/hicolor/scalable/apps/vornbackup.svg" || fail "the scalable icon is no SVG"
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "installed tree in order"
