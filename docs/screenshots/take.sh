#!/usr/bin/env bash
# Takes the user guide's screenshots of the real program under Xvfb, with a small
# window manager so the windows have their title bars. Needs xvfb, imagemagick,
# openbox and xdotool.  docs/screenshots/take.sh [BUILD_DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../../build}"
xvfb-run -a -s "-screen 0 1024x700x24" bash -s "$build/bin/bootloader" "$here" <<'INNER'
set -euo pipefail
program="$1"; out="$2"
openbox >/dev/null 2>&1 &
wm=$!
sleep 1
"$program" >/dev/null 2>&1 &
app=$!
sleep 1.5
import -window root "$out/splash.png"
sleep 3
import -window root "$out/main_window.png"
main=$(xdotool search --onlyvisible --name '^Romtide$' | head -1)
# Tools menu open
xdotool mousemove --window "$main" 24 10 click 1
sleep 0.7
import -window root "$out/tools_menu.png"
xdotool key Escape
sleep 0.3
# Help, Info
xdotool mousemove --window "$main" 68 10 click 1
sleep 0.5
xdotool key Down Return
sleep 1
import -window root "$out/about_box.png"
kill "$app" "$wm" 2>/dev/null || true
INNER
# Only the program's part of the screen.
for f in splash main_window tools_menu about_box; do
    convert "$here/$f.png" -crop 560x400+232+160 +repage "$here/$f.png"
done
