# shellcheck shell=bash
# Shared helpers of the end-to-end tests: sourced by the test scripts, which run on an X server
# of their own (tests/tools/with-xvfb) and drive the built program as a user would.
#
#   e2e_init NAME            private working folder, settings and adapter instance; skips
#                            (exit 77) without an X server or the X tools the tests use
#   e2e_start_dovrax [VAR]   starts a copy in the working folder; its pid goes in VAR
#   e2e_wait_main_window     prints the id of the single main window once it is viewable
#   e2e_fail MESSAGE         reports and ends the test with status 1
#
# Variables: DOVRAX, MULVO_SIM, HOSTDEMO (paths of the built programs, set by the caller),
# E2E_WORK (working folder), E2E_SETTINGS (settings file).

set -u

readonly E2E_TITLE='DOVRAX ( For Test)'
readonly E2E_TITLE_RE='^DOVRAX \( For Test\)$'
readonly E2E_HOST_TITLE='DOVRAX Host Demo'

e2e_pids=()
E2E_WORK=""

e2e_log() { printf '[%s] %s\n' "$E2E_NAME" "$*"; }

e2e_fail() {
    printf '[%s] FAIL: %s\n' "$E2E_NAME" "$*" >&2
    exit 1
}

e2e_skip() {
    printf '[%s] SKIP: %s\n' "$E2E_NAME" "$*" >&2
    exit 77
}

e2e_cleanup() {
    local pid
    for pid in "${e2e_pids[@]}"; do
        kill "$pid" 2>/dev/null
    done
    for pid in "${e2e_pids[@]}"; do
        wait "$pid" 2>/dev/null
    done
    if [ -n "${MULVO_SIM_INSTANCE:-}" ]; then
        rm -f "/dev/shm/mulvo-$(id -u)-$MULVO_SIM_INSTANCE" \
            "${XDG_RUNTIME_DIR:-/run/user/$(id -u)}/mulvo-$MULVO_SIM_INSTANCE"
    fi
    [ -n "$E2E_WORK" ] && rm -rf "$E2E_WORK"
}

e2e_init() {
    E2E_NAME=$1
    [ -n "${DISPLAY:-}" ] || e2e_skip "no X server (DISPLAY is not set)"
    xdpyinfo >/dev/null 2>&1 || xwininfo -root >/dev/null 2>&1 ||
        e2e_skip "the X server $DISPLAY does not answer"
    local tool
    for tool in xdotool xprop xwininfo; do
        command -v "$tool" >/dev/null || e2e_skip "$tool is not installed"
    done
    local program
    for program in "$DOVRAX" "$MULVO_SIM"; do
        [ -x "$program" ] || e2e_fail "$program is not built"
    done

    E2E_WORK=$(mktemp -d "${TMPDIR:-/tmp}/dovrax-$E2E_NAME.XXXXXX")
    trap e2e_cleanup EXIT
    trap 'exit 1' INT TERM
    # The program reads setup.ini from its working folder, keeps its settings per user and
    # holds its single-copy lock in the runtime folder: give all three, and the virtual
    # adapter, to this test alone.
    printf '[OPEN_APP]\nNAME=%s\n' "$E2E_HOST_TITLE" >"$E2E_WORK/setup.ini"
    export XDG_CONFIG_HOME="$E2E_WORK/config"
    mkdir -p "$XDG_CONFIG_HOME"
    export XDG_RUNTIME_DIR="$E2E_WORK/runtime"
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    E2E_SETTINGS="$XDG_CONFIG_HOME/Velmora/DOVRAX.conf"
    export MULVO_SIM_INSTANCE="e2e-$E2E_NAME-$$"
    "$MULVO_SIM" reset || e2e_fail "mulvo-sim reset failed"
}

# e2e_start_dovrax [VAR]: starts a copy in the working folder; its pid is stored in VAR.
e2e_start_dovrax() {
    local var=${1:-E2E_LAST_PID}
    (cd "$E2E_WORK" && exec "$DOVRAX") >>"$E2E_WORK/dovrax.log" 2>&1 &
    local pid=$!
    e2e_pids+=("$pid")
    printf -v "$var" '%s' "$pid"
}

e2e_start_hostdemo() {
    local var=${1:-E2E_LAST_PID}
    shift
    "$HOSTDEMO" "$E2E_HOST_TITLE" "$@" >>"$E2E_WORK/hostdemo.log" 2>&1 &
    local pid=$!
    e2e_pids+=("$pid")
    printf -v "$var" '%s' "$pid"
}

# Ids of the top-level windows titled exactly TITLE_RE, one a line.
e2e_windows_named() {
    xdotool search --name "$1" 2>/dev/null
}

e2e_map_state() {
    xwininfo -id "$1" 2>/dev/null | sed -n 's/^ *Map State: *//p'
}

# e2e_wait_for SECONDS COMMAND...: polls COMMAND every 0.1 s until it succeeds.
e2e_wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    while ! "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

e2e_one_viewable_window() {
    local ids
    ids=$(e2e_windows_named "$1") || return 1
    [ "$(printf '%s\n' "$ids" | grep -c .)" -eq 1 ] || return 1
    [ "$(e2e_map_state "$ids")" = IsViewable ]
}

# Prints the id of the main window once exactly one is there and viewable (at most 30 s).
e2e_wait_main_window() {
    e2e_wait_for 30 e2e_one_viewable_window "$E2E_TITLE_RE" ||
        e2e_fail "no viewable window titled '$E2E_TITLE' within 30 s" \
            "(found: $(e2e_windows_named "$E2E_TITLE_RE" | tr '\n' ' '))" \
            "$(cat "$E2E_WORK/dovrax.log" 2>/dev/null)"
    e2e_windows_named "$E2E_TITLE_RE"
}

# The WM_CLASS class (second string) of a window.
e2e_window_class() {
    xprop -id "$1" WM_CLASS 2>/dev/null | sed -n 's/^WM_CLASS([^)]*) = "[^"]*", "\([^"]*\)".*/\1/p'
}

# The class name the program stored in its settings.
e2e_stored_class() {
    [ -f "$E2E_SETTINGS" ] || return 1
    sed -n 's/^Class%20Name=//p' "$E2E_SETTINGS"
}
