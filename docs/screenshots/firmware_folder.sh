# Sourced by the screenshot scripts: copies the demo image of the build in "$build" into
# a neutral folder, "$firmware", with a text file that is no image and an image whose
# records only erase beside it, and gives the program a technician's home of its own, so
# the run history the pictures show is not the build machine's. Both are removed again
# when the script ends.
firmware=/tmp/firmware
mkdir -p "$firmware"
cp "$build/bin/demo/demo.mhx" "$firmware/demo.mhx"
printf 'Service notes\nStation 3: replaced the encoder cable\n' >"$firmware/notes.mhx"
printf 'S00600004844521B\nS9030000FC\n' >"$firmware/erase.mhx"
export HOME=/tmp/technician
unset XDG_DATA_HOME
mkdir -p "$HOME"
trap 'rm -rf "$firmware" "$HOME"' EXIT
