# Sourced by the screenshot scripts: copies the demo image of the build in "$build" into
# a neutral folder, "$firmware", which is removed again when the script ends.
firmware=/tmp/firmware
mkdir -p "$firmware"
cp "$build/bin/demo/demo.mhx" "$firmware/demo.mhx"
trap 'rm -rf "$firmware"' EXIT
