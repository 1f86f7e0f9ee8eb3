#!/usr/bin/env bash
# Takes the user guide's screenshots of the CAN download window under Xvfb: the program
# started with --simulate, Init, Search, a text file refused at Open, the demo image
# opened, the three devices marked and downloaded (Quit during the first one: the
# question, answered No; Yes to the renewal questions, "Inkra" for the first-generation
# bootloader); then the window on a 1024 x 768 screen. The image is opened from a
# neutral folder, so no build machine's path shows in the pictures. The program is ended
# as a user ends it. Needs xvfb, imagemagick, openbox and xdotool.
#   docs/screenshots/take_can.sh [BUILD_DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../../build}" && pwd)"
source "$here/firmware_folder.sh"
xvfb-run -a -s "-screen 0 1280x800x24" bash -s "$build/bin/bootloader" "$here" \
    "$firmware/demo.mhx" <<'INNER'
set -euo pipefail
program="$1"; out="$2"; image="$3"
cd "$(dirname "$image")"
source "$out/program.sh"
start_program "$program" --simulate
xdotool windowactivate --sync "$main" key F2
sleep 1.5
can=$(xdotool search --onlyvisible --name '^Romtide - CAN download$' | head -1)
click() { xdotool mousemove --window "$can" "$1" "$2" click 1; }
click 70 27      # Init CAN adapter
sleep 1
click 200 27     # Search: 50, 100 and 125 kbit/s, then the details of three devices
sleep 12
import -window root "$out/can_search.png"
open_file() {
    click 330 27     # Open file
    xdotool search --sync --onlyvisible --name 'Open file' >/dev/null
    sleep 0.5
    xdotool type --delay 20 "$1"
    xdotool key Return
    while xdotool search --onlyvisible --name 'Open file' >/dev/null 2>&1; do sleep 0.2; done
    sleep 0.5
}
open_file "$(dirname "$image")/notes.mhx"   # no image: refused, naming the line
refused=$(xdotool search --sync --onlyvisible --name '^Romtide$' | grep -v "^$main\$" | head -1)
sleep 0.5
import -window root "$out/open_refused.png"
xdotool windowactivate --sync "$refused" key Return
sleep 0.5
open_file "$image"
for y in 90 108 126; do click 300 "$y"; sleep 0.3; done
click 460 27     # Download
sleep 1.5
click 720 27     # Quit while the first device is in hand: the question, No is the default
stop=$(xdotool search --sync --onlyvisible --name '^Romtide$' | grep -v "^$main\$" | head -1)
sleep 0.5
import -window root "$out/can_stop_question.png"
xdotool windowactivate --sync "$stop" key alt+n
asked=0
for _ in $(seq 1 40); do
    sleep 1
    question=$(xdotool search --onlyvisible --name '^Romtide$' | grep -v "^$main\$" | head -1 || true)
    product=$(xdotool search --onlyvisible --name 'select product' | head -1 || true)
    if [ -n "$product" ]; then
        xdotool windowactivate --sync "$product"
        xdotool key ctrl+a
        xdotool type Inkra
        xdotool mousemove --window "$product" 75 53 click 1
    elif [ -n "$question" ]; then
        if [ "$asked" = 0 ]; then
            import -window root "$out/can_question.png"
        fi
        asked=1
        xdotool windowactivate --sync "$question"
        xdotool key alt+y
    fi
done
import -window root "$out/can_run.png"
end_program "Romtide - CAN download"
INNER
# Only the program's part of the screen.
for f in can_search open_refused can_stop_question can_question can_run; do
    convert "$here/$f.png" -crop 1120x640+81+80 +repage "$here/$f.png"
done

# The window on a 1024 x 768 panel: as large as the screen allows, scroll bars inside.
xvfb-run -a -s "-screen 0 1024x768x24" bash -s "$build/bin/bootloader" "$here" <<'INNER'
set -euo pipefail
program="$1"; out="$2"
source "$out/program.sh"
start_program "$program" --simulate
xdotool windowactivate --sync "$main" key F2
sleep 1.5
import -window root "$out/can_small_screen.png"
end_program "Romtide - CAN download"
INNER
