#!/usr/bin/env bash
# Takes the user guide's screenshots of the Profibus download window under Xvfb: the
# program started with --simulate, F3, Search on the simulated segment, the options
# dialog with its list of rates, an erase-only image at Open (the question, answered by
# its default, No), the demo image opened, the three slaves marked and downloaded, each
# acknowledged with OK, the message that says where the run's record went, and the
# window after the run. The image is
# opened from a neutral folder, so no build machine's path shows in the pictures. The
# program is ended as a user ends it, so its simulated board's private folder goes with
# it. Needs xvfb, imagemagick, openbox and xdotool.
#   docs/screenshots/take_profibus.sh [BUILD_DIR]
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
xdotool windowactivate --sync "$main" key F3
sleep 2.5
pb=$(xdotool search --onlyvisible --name '^Romtide - Profibus download$' | head -1)
click() { xdotool mousemove --window "$pb" "$1" "$2" click 1; }
click 208 25     # Search: the live list, then each slave's PPO type and version
sleep 8
import -window root "$out/profibus_search.png"
click 316 25     # Settings
option=$(xdotool search --sync --onlyvisible --name '^Bootloader - Option ProfiBus$' | head -1)
sleep 0.5
xdotool mousemove --window "$option" 204 21 click 1   # the list of rates
sleep 1
import -window root "$out/profibus_option.png"
xdotool key Escape                                    # the list closes
sleep 0.3
xdotool mousemove --window "$option" 273 57 click 1   # Cancel
while xdotool search --onlyvisible --name 'Option ProfiBus' >/dev/null 2>&1; do sleep 0.2; done
open_file() {
    click 424 25     # Open File
    xdotool search --sync --onlyvisible --name 'Open file' >/dev/null
    sleep 0.5
    xdotool type --delay 20 "$1"
    xdotool key Return
    while xdotool search --onlyvisible --name 'Open file' >/dev/null 2>&1; do sleep 0.2; done
    sleep 0.5
}
open_file "$(dirname "$image")/erase.mhx"   # records that only erase: asked first
question=$(xdotool search --sync --onlyvisible --name '^Bootloader$' | head -1)
sleep 0.5
import -window root "$out/erase_only_question.png"
xdotool windowactivate --sync "$question" key Return   # No, the default
while xdotool search --onlyvisible --name '^Bootloader$' >/dev/null 2>&1; do sleep 0.2; done
open_file "$image"
for y in 119 139 159; do click 500 "$y"; sleep 0.3; done   # the rows of stations 3, 4, 5
click 532 25     # Download: a message after each station
done_boxes=0
for _ in $(seq 1 120); do
    sleep 0.5
    box=$(xdotool search --onlyvisible --name '^Bootloader$' | head -1 || true)
    if [ -n "$box" ]; then
        done_boxes=$((done_boxes + 1))
        if [ "$done_boxes" = 1 ]; then
            import -window root "$out/profibus_message.png"
        fi
        if [ "$done_boxes" = 4 ]; then
            sleep 0.5
            import -window root "$out/profibus_record.png"
        fi
        xdotool windowactivate --sync "$box" key Return
        if [ "$done_boxes" = 4 ]; then
            break
        fi
    fi
done
sleep 8          # the search after the run
import -window root "$out/profibus_run.png"
end_program "Romtide - Profibus download"
INNER
# Only the program's part of the screen.
for f in profibus_search profibus_option erase_only_question profibus_message profibus_record \
    profibus_run; do
    convert "$here/$f.png" -crop 822x472+230+164 +repage "$here/$f.png"
done
