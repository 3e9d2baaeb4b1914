#!/usr/bin/env bash
# Runs a command inside a private desktop: Xvfb, openbox, a D-Bus session with the
# accessibility bus and an unlocked keyring, and private XDG folders. The accessibility bus is
# switched on as an assistive technology would; HARBELLE_X11_A11Y=off leaves it present but
# switched off, as on an ordinary desktop; HARBELLE_X11_SCREEN sets the screen (default
# 1280x800x24). Everything started
# here is stopped by pid on exit; the server and window manager run in sessions of their own so
# that no signal meant for a test's process group reaches them.
set -uo pipefail
work=$(mktemp -d /tmp/harbelle-x11.XXXXXX)
pids=()
watchdog=
cleanup() {
  [ -n "$watchdog" ] && kill "$watchdog" 2>/dev/null
  for ((i=${#pids[@]}-1; i>=0; i--)); do kill "${pids[i]}" 2>/dev/null; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

setsid Xvfb -displayfd 5 -screen 0 "${HARBELLE_X11_SCREEN:-1280x800x24}" -nolisten tcp 5>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
# Each part of the desktop is waited for until it answers, for up to a minute: on a busy machine
# a start can take seconds, and tests run on a half-started desktop fail in ways that mislead.
waitFor() {
  for _ in $(seq 1200); do "$@" && return 0; sleep 0.05; done
  return 1
}
waitFor test -s "$work/display"
if [ ! -s "$work/display" ]; then echo "Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; fi
export DISPLAY=":$(head -n1 "$work/display")"

setsid openbox --sm-disable >"$work/openbox.log" 2>&1 &
pids+=($!)
wmReady() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
if ! waitFor wmReady; then echo "openbox did not start" >&2; cat "$work/openbox.log" >&2; exit 1; fi

# This script can go without running its exit trap (a SIGKILL from a test's clean-up), and whoever
# started it can go without a word (a test killed on its timeout): then the watchdog stops the
# server and the window manager, which live in sessions of their own and would outlive us.
self=$$ parent=$PPID
(
  while kill -0 "$self" 2>/dev/null && kill -0 "$parent" 2>/dev/null; do sleep 1; done
  for ((i=${#pids[@]}-1; i>=0; i--)); do kill "${pids[i]}" 2>/dev/null; done
) </dev/null >/dev/null 2>&1 &
watchdog=$!

# HARBELLE_X11_XDG_ROOT keeps the data, config and cache folders where the caller can read them.
xdg="${HARBELLE_X11_XDG_ROOT:-$work}"
mkdir -p "$work/runtime" "$xdg"/{data,config,cache}
chmod 700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime" XDG_DATA_HOME="$xdg/data" XDG_CONFIG_HOME="$xdg/config" \
  XDG_CACHE_HOME="$xdg/cache"
unset QT_QPA_PLATFORM

# Inside the bus: unlock a keyring, enable accessibility, then run the command.
dbus-run-session -- bash -c '
  printf "\n" | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1 || true
  /usr/libexec/at-spi-bus-launcher --launch-immediately >/dev/null 2>&1 &
  launcher=$!
  for _ in $(seq 1200); do
    kill -0 $launcher 2>/dev/null || break
    busctl --user status org.a11y.Bus >/dev/null 2>&1 && break
    dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.a11y.Bus.GetAddress >/dev/null 2>&1 && break
    sleep 0.05
  done
  if [ "${HARBELLE_X11_A11Y:-on}" != off ]; then
    dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.freedesktop.DBus.Properties.Set \
      string:org.a11y.Status string:IsEnabled variant:boolean:true >/dev/null 2>&1 || true
  fi
  "$@"
  rc=$?
  kill $launcher 2>/dev/null
  pkill -P $$ 2>/dev/null
  exit $rc
' harbelle-session "$@"
