# Sourced under Xvfb by the screenshot scripts of the download windows.

# Starts a window manager, so windows have their title bars, and PROGRAM with its
# arguments; sets $wm, $app and $main (the main window, once it shows).
start_program() {
    openbox >/dev/null 2>&1 &
    wm=$!
    sleep 1
    "$@" >/dev/null 2>&1 &
    app=$!
    sleep 4.5
    main=$(xdotool search --onlyvisible --name '^Romtide$' | head -1)
}

# Closes the window titled TITLE by its title bar, then the main window, and waits for
# the program to end as a user ends it: a simulated Profibus board's private folder
# goes with the program. (Closing the Profibus window resets the board: some seconds.)
end_program() {
    xdotool windowactivate --sync "$(xdotool search --onlyvisible --name "^$1\$" | head -1)" \
        key alt+F4
    while xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1; do
        sleep 0.3
    done
    main=$(xdotool search --sync --onlyvisible --name '^Romtide$' | head -1)
    xdotool windowactivate --sync "$main" key alt+F4
    for _ in $(seq 1 50); do
        kill -0 "$app" 2>/dev/null || break
        sleep 0.2
    done
    kill "$app" "$wm" 2>/dev/null || true
}
