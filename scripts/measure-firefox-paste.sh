#!/usr/bin/env bash
# Measures pastes into Firefox ESR through the real program, on both paste paths, in a private
# desktop: `bash scripts/measure-firefox-paste.sh [HARBELLE] [--rounds N] [--shortcut on|off|both]`
# (HARBELLE defaults to build/harbelle). Needs firefox-esr (apt-get install firefox-esr).
# Exits 0 when every paste was right.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
binary=${1:-$here/../build/harbelle}
[ $# -gt 0 ] && shift
exec bash "$here/x11-session.sh" /usr/bin/python3 "$here/measure-firefox-paste.py" "$binary" "$@"
