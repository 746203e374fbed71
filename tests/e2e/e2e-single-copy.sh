#!/usr/bin/env bash
# One running copy: a second start brings the first copy's window to the front and ends at
# once, without a window of its own and without opening the adapter, also off X11. Runs with
# or without a window manager; with one, also from the iconified state. A window of another
# program with the stored class is no running copy. An unreachable display ends the program
# with a message and status 1.
#   e2e-single-copy.sh DOVRAX MULVO_SIM HOSTDEMO
DOVRAX=$1 MULVO_SIM=$2 HOSTDEMO=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/e2e-lib.sh"
e2e_init single_copy
[ -x "$HOSTDEMO" ] || e2e_fail "$HOSTDEMO is not built"

if xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; then
    wm=1
    e2e_log "under a window manager"
else
    wm=0
    e2e_log "without a window manager"
fi

# The window that has the keyboard: the active window under a window manager, else the
# X input focus.
focused_window() {
    if [ "$wm" = 1 ]; then
        xdotool getactivewindow 2>/dev/null
    else
        xdotool getwindowfocus 2>/dev/null
    fi
}

is_focused() { [ "$(focused_window)" = "$1" ]; }

# Top-level windows from the top of the stack down, as decimal ids.
stacking_top_first() {
    if [ "$wm" = 1 ]; then
        xprop -root _NET_CLIENT_LIST_STACKING | sed 's/^[^#]*# //' | tr -d ' ' | tr ',' '\n' |
            while read -r id; do printf '%d\n' "$id"; done | tac
    else
        # xwininfo lists the root's children from the top of the stack down.
        xwininfo -root -children | sed -n 's/^ *\(0x[0-9a-f]*\) .*/\1/p' |
            while read -r id; do printf '%d\n' "$id"; done
    fi
}

# is_above A B: window A is stacked above window B.
is_above() {
    local order
    order=$(stacking_top_first)
    local a b
    a=$(printf '%s\n' "$order" | grep -nx "$1" | cut -d: -f1)
    b=$(printf '%s\n' "$order" | grep -nx "$2" | cut -d: -f1)
    [ -n "$a" ] && [ -n "$b" ] && [ "$a" -lt "$b" ]
}

window_name() { xdotool getwindowname "$1" 2>/dev/null; }

title_count() { e2e_windows_named "$E2E_TITLE_RE" | grep -c .; }

wm_state() { xprop -id "$1" WM_STATE 2>/dev/null | sed -n 's/^[[:space:]]*window state: *//p'; }

# The manager may set WM_STATE just after `xdotool windowminimize --sync` returns.
is_iconic() { [ "$(wm_state "$1")" = Iconic ]; }

# Gives the keyboard to WINDOW and puts it on top, as a user clicking it would.
focus_elsewhere() {
    if [ "$wm" = 1 ]; then
        xdotool windowactivate --sync "$1" >/dev/null 2>&1
    else
        xdotool windowraise "$1" windowfocus --sync "$1" >/dev/null 2>&1
    fi
    e2e_wait_for 5 is_focused "$1" ||
        e2e_fail "could not give the keyboard to the window '$(window_name "$1")'" \
            "(it is with $(focused_window))"
}

handles() { "$MULVO_SIM" status | sed -n 's/^handles=//p'; }

# second_copy LABEL [VAR=VALUE...]: starts a second copy (in that environment); it must end with
# status 0 within 2 s, never open the adapter, and the single main window is all that is ever
# shown by that title while it runs.
# The arguments in second_args go to the program; what it says is in $E2E_WORK/second.log.
second_args=()
second_copy() {
    local label=$1
    shift
    local start=$EPOCHREALTIME
    : >"$E2E_WORK/second.log"
    (cd "$E2E_WORK" && exec env "$@" timeout 20 "$DOVRAX" "${second_args[@]}") \
        >>"$E2E_WORK/second.log" 2>&1 &
    local pid=$!
    local most=1 count most_handles=1
    while kill -0 "$pid" 2>/dev/null; do
        count=$(title_count)
        [ "$count" -gt "$most" ] && most=$count
        count=$(handles)
        [ "$count" -gt "$most_handles" ] && most_handles=$count
        sleep 0.02
    done
    wait "$pid"
    local status=$?
    local elapsed_ms=$(( (${EPOCHREALTIME/./} - ${start/./}) / 1000 ))
    e2e_log "$label: the second copy ended with status $status after $elapsed_ms ms"
    [ "$status" = 0 ] || e2e_fail "$label: the second copy ended with status $status" \
        "$(cat "$E2E_WORK/second.log")"
    [ "$elapsed_ms" -le 2000 ] || e2e_fail "$label: the second copy took $elapsed_ms ms to end"
    [ "$most" = 1 ] || e2e_fail "$label: $most windows titled '$E2E_TITLE' while the second copy ran"
    [ "$most_handles" = 1 ] || e2e_fail "$label: the second copy opened the adapter"
    ! grep -q "did not answer" "$E2E_WORK/second.log" ||
        e2e_fail "$label: the first copy did not answer" "$(cat "$E2E_WORK/second.log")"
    count=$(title_count)
    [ "$count" = 1 ] || e2e_fail "$label: $count windows titled '$E2E_TITLE' afterwards"
    kill -0 "$first" 2>/dev/null || e2e_fail "$label: the first copy is gone"
}

# ---- an unreachable display -------------------------------------------------------------

# No platform chosen and DISPLAY naming no server: a message and status 1, not an abort.
bad=999
while [ -e "/tmp/.X11-unix/X$bad" ]; do bad=$((bad + 1)); done
said=$(cd "$E2E_WORK" && env -u QT_QPA_PLATFORM DISPLAY=":$bad" timeout 20 "$DOVRAX" 2>&1)
status=$?
[ "$status" = 1 ] || e2e_fail "DISPLAY=:$bad: status $status, expected 1: $said"
grep -q "cannot open the X display \":$bad\"" <<<"$said" ||
    e2e_fail "DISPLAY=:$bad: no clear message: $said"
e2e_log "unreachable display: status 1 and a message"

# ---- a wrong adapter setting --------------------------------------------------------------

# Started from a desktop menu nobody reads standard error: a box says what is wrong and where,
# and the program ends with status 2 once it is closed.
mkdir -p "$(dirname "$E2E_SETTINGS")"
printf '[Adapter]\nLibrary=gpoi\n' >"$E2E_SETTINGS"
(cd "$E2E_WORK" && exec timeout 30 "$DOVRAX") >"$E2E_WORK/setting.log" 2>&1 &
wrong=$!
# The search ignores case, and Qt keeps a hidden window named after the program.
box_window() {
    local id
    for id in $(xdotool search --onlyvisible --name '^DOVRAX$' 2>/dev/null); do
        [ "$(window_name "$id")" = DOVRAX ] && echo "$id" && return 0
    done
    return 1
}
e2e_wait_for 20 box_window >/dev/null ||
    e2e_fail "a wrong adapter setting showed no box: $(cat "$E2E_WORK/setting.log")"
expected="the setting Library in group [Adapter] of $E2E_SETTINGS: unknown adapter library"
expected+=' "gpoi"; give virtual, gpio, '  # the loader's test holds the whole list
grep -qF "dovrax: $expected" "$E2E_WORK/setting.log" ||
    e2e_fail "a wrong adapter setting: no clear message: $(cat "$E2E_WORK/setting.log")"
box=$(box_window)
xdotool windowactivate --sync "$box" >/dev/null 2>&1 || xdotool windowfocus --sync "$box"
xdotool key --window "$box" Return
wait "$wrong"
status=$?
[ "$status" = 2 ] || e2e_fail "a wrong adapter setting: status $status after the box, expected 2"
rm "$E2E_SETTINGS"
e2e_log "wrong adapter setting: a box, the message and status 2"

# ---- damaged locks --------------------------------------------------------------------

# With no copy running, whatever lies under the lock's name is stale: the program clears it away
# and starts, without blocking on it or reading it. A link's target is left alone.
lock=$XDG_RUNTIME_DIR/dovrax.lock
printf 'keep me\n' >"$E2E_WORK/target"
holder=""
for damage in empty random folder fifo huge link held; do
    # What the copy before left: it was killed, so its lock stays, and is stale too.
    rm -rf "$lock"
    case $damage in
    empty) : >"$lock" ;;
    random) head -c 300 /dev/urandom >"$lock" ;;
    folder) mkdir -p "$lock/inner" && : >"$lock/inner/file" ;;
    fifo) mkfifo "$lock" ;;
    huge) truncate -s 2G "$lock" ;;
    link) ln -s "$E2E_WORK/target" "$lock" ;;
    held) # held by a live program that is not a copy of this one
        printf '%s\n' "$$" >"$lock"
        flock "$lock" sleep 60 &
        holder=$!
        e2e_pids+=("$holder")
        sleep 0.3 ;;
    esac
    # Emptied here: the background start opens it only some time later.
    : >"$E2E_WORK/damaged.log"
    (cd "$E2E_WORK" && QT_QPA_PLATFORM=offscreen exec "$DOVRAX") >>"$E2E_WORK/damaged.log" 2>&1 &
    copy=$!
    e2e_pids+=("$copy")
    started() { grep -q 'dovrax: adapter library' "$E2E_WORK/damaged.log"; }
    e2e_wait_for 20 started || e2e_fail "a lock that is $damage: the program did not start:" \
        "$(cat "$E2E_WORK/damaged.log")"
    [ -f "$lock" ] && [ ! -L "$lock" ] && [ "$(head -c 64 "$lock" | head -n 1)" = "$copy" ] ||
        e2e_fail "a lock that is $damage: the new copy $copy does not hold the lock:" \
            "$(ls -l "$XDG_RUNTIME_DIR"; head -c 64 "$lock"; cat "$E2E_WORK/damaged.log")"
    kill "$copy" && wait "$copy" 2>/dev/null
done
rm -f "$lock"
[ "$(cat "$E2E_WORK/target")" = "keep me" ] || e2e_fail "the lock's link target was changed"
kill "$holder" 2>/dev/null
e2e_log "damaged locks: cleared away, and the program started each time"

# ---- settings naming another program's window class -----------------------------------

# That window is not a running copy: the program starts and leaves it alone.
e2e_start_hostdemo stranger --x 700 --y 500
e2e_wait_for 30 e2e_one_viewable_window "^$E2E_HOST_TITLE\$" ||
    e2e_fail "the demo host window did not show"
stranger_window=$(e2e_windows_named "^$E2E_HOST_TITLE\$")
mkdir -p "$(dirname "$E2E_SETTINGS")"
printf '[Settings]\nClass%%20Name=%s\n' "$(e2e_window_class "$stranger_window")" >"$E2E_SETTINGS"
if [ "$wm" = 1 ]; then
    xdotool windowminimize --sync "$stranger_window" &&
        e2e_wait_for 5 is_iconic "$stranger_window" ||
        e2e_fail "the window manager did not iconify the demo host window"
fi

first=""
e2e_start_dovrax first
main=$(e2e_wait_main_window)
if [ "$wm" = 1 ]; then
    is_iconic "$stranger_window" ||
        e2e_fail "another program's window of the stored class was restored"
else
    ! is_focused "$stranger_window" ||
        e2e_fail "another program's window of the stored class got the keyboard"
fi
kill "$stranger" && wait "$stranger" 2>/dev/null
e2e_log "another program's window of the stored class: left alone, this copy started"

# ---- the first copy and its settings --------------------------------------------------

e2e_log "first copy: window $main"

class=$(e2e_window_class "$main")
[ -n "$class" ] || e2e_fail "the main window has no WM_CLASS"
stored_is_class() { [ "$(e2e_stored_class)" = "$class" ]; }
e2e_wait_for 10 stored_is_class ||
    e2e_fail "the settings hold Class Name=$(e2e_stored_class); the window's class is $class"
stored=$(e2e_stored_class)
e2e_log "settings: Class Name=$stored"

# ---- a second start while another window has the keyboard -----------------------------

# The demo host window is put over the main window and given the keyboard.
read -r mx my < <(xwininfo -id "$main" |
    awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF} END {print x, y}')
e2e_start_hostdemo host --x $((mx + 60)) --y $((my + 60))
e2e_wait_for 30 e2e_one_viewable_window "^$E2E_HOST_TITLE\$" ||
    e2e_fail "the demo host window did not show"
other=$(e2e_windows_named "^$E2E_HOST_TITLE\$")
focus_elsewhere "$other"
is_above "$other" "$main" || e2e_fail "the demo host window could not be put above the main window"

second_args=(--adapter gpio --interrupts)
second_copy "behind another window"
second_args=()
grep -qF 'dovrax: a copy is already running and was brought to the front; these options were not applied: --adapter gpio --interrupts' \
    "$E2E_WORK/second.log" || e2e_fail "the second copy did not say why it ended:" \
    "$(cat "$E2E_WORK/second.log")"
e2e_wait_for 5 is_focused "$main" ||
    e2e_fail "the first copy's window does not have the keyboard after a second start" \
        "(it is with '$(window_name "$(focused_window)")')"
e2e_wait_for 5 is_above "$main" "$other" ||
    e2e_fail "the first copy's window is not above the demo host window after a second start"
e2e_log "behind another window: brought to the front with the keyboard"

# ---- a second start that cannot look for X11 windows ----------------------------------

# Off X11 (here Qt's offscreen platform) no window class is found: the lock in the runtime
# folder stops the second copy, which asks the first, through its socket, to come to the front.
focus_elsewhere "$other"
second_copy "without X11" QT_QPA_PLATFORM=offscreen
e2e_wait_for 5 is_focused "$main" ||
    e2e_fail "without X11: the first copy's window does not have the keyboard" \
        "(it is with '$(window_name "$(focused_window)")')"
grep -qx 'dovrax: a copy is already running and was brought to the front' \
    "$E2E_WORK/second.log" || e2e_fail "without X11: the second copy did not say why it ended:" \
    "$(cat "$E2E_WORK/second.log")"
e2e_log "without X11: stopped by the lock, the first copy came to the front"

# ---- clients of the socket that send too much or nothing ---------------------------------

# The socket is the user's alone, and nothing of its making is left beside it.
sock=$XDG_RUNTIME_DIR/dovrax.socket
[ -S "$sock" ] && [ "$(stat -c %a "$sock")" = 700 ] ||
    e2e_fail "the socket is not a socket of mode 700: $(ls -la "$XDG_RUNTIME_DIR")"
[ -z "$(find "$XDG_RUNTIME_DIR" -mindepth 1 -type d)" ] ||
    e2e_fail "folders left in the runtime folder: $(ls -la "$XDG_RUNTIME_DIR")"

# The running copy reads a few hundred bytes of a request at most and drops a client that
# sends nothing; it keeps answering others.
if command -v python3 >/dev/null; then
    rss() { awk '/^VmRSS:/ {print $2}' "/proc/$first/status"; }
    before=$(rss)
    said=$(python3 - "$XDG_RUNTIME_DIR/dovrax.socket" <<'PY'
import socket, sys
def client():
    s = socket.socket(socket.AF_UNIX)
    s.connect(sys.argv[1])
    return s
s = client()
s.settimeout(10)
try:
    print("idle dropped" if s.recv(1) == b"" else "idle answered")
except socket.timeout:
    print("idle kept")
s = client()
s.settimeout(10)
try:
    s.sendall(b"x" * (64 << 20))
    print("flood taken")
except socket.timeout:
    print("flood stalled")
except (BrokenPipeError, ConnectionResetError):
    print("flood dropped")
PY
)
    after=$(rss)
    [ "$said" = $'idle dropped\nflood dropped' ] ||
        e2e_fail "socket clients: $(tr '\n' ' ' <<<"$said")"
    [ -n "$before" ] && [ -n "$after" ] && [ $((after - before)) -lt 16384 ] ||
        e2e_fail "socket clients: the running copy grew from $before kB to $after kB"
    e2e_log "socket clients: an idle one and one sending 64 MiB dropped ($before -> $after kB)"
else
    e2e_log "socket clients: not tried, python3 is not installed"
fi

# ---- a second start while the first copy is iconified ----------------------------------

if [ "$wm" = 1 ]; then
    focus_elsewhere "$other"
    xdotool windowminimize --sync "$main" ||
        e2e_fail "the window manager did not iconify the main window"
    e2e_wait_for 5 is_iconic "$main" ||
        e2e_fail "the iconified main window has WM_STATE $(wm_state "$main")"

    second_copy "iconified"
    viewable_and_normal() {
        [ "$(e2e_map_state "$main")" = IsViewable ] && [ "$(wm_state "$main")" = Normal ]
    }
    e2e_wait_for 5 viewable_and_normal ||
        e2e_fail "the iconified window was not restored: Map State $(e2e_map_state "$main")," \
            "WM_STATE $(wm_state "$main")"
    e2e_wait_for 5 is_focused "$main" ||
        e2e_fail "the restored window is not the active one (the active one is" \
            "'$(window_name "$(focused_window)")')"
    e2e_log "iconified: restored and active"
fi

e2e_log "PASS"
