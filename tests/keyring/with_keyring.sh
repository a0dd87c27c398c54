#!/bin/sh
# Runs a command inside its own D-Bus session with a GNOME keyring (Secret Service) of its
# own, unlocked, in a temporary home: the tests never touch the user's keyring.
#   dbus-run-session -- with_keyring.sh COMMAND...
set -eu
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$home/run"
mkdir -p "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
printf 'test' | gnome-keyring-daemon --unlock --components=secrets --daemonize >/dev/null
"$@"
