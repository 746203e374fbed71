#!/usr/bin/env bash
# scripts/run on a machine without a display: it runs the program beside the demo host on a
# virtual X server of its own and saves a picture of the screen, BUILD/screenshot.png.
#   e2e-screenshot.sh SOURCE_DIR BUILD_DIR
set -u
source_dir=$1 build=$2
name=screenshot
fail() { printf '[%s] FAIL: %s\n' "$name" "$*" >&2; exit 1; }
skip() { printf '[%s] SKIP: %s\n' "$name" "$*" >&2; exit 77; }

command -v Xvfb >/dev/null || skip "Xvfb is not installed"
for tool in identify convert; do
    command -v "$tool" >/dev/null || skip "$tool is not installed (imagemagick)"
done

shot="$build/screenshot.png"
rm -f "$shot"
# A private adapter instance, so that tests running beside this one keep theirs.
export MULVO_SIM_INSTANCE="e2e-$name-$$"
trap 'rm -f "/dev/shm/mulvo-$(id -u)-$MULVO_SIM_INSTANCE" \
        "${XDG_RUNTIME_DIR:-/run/user/$(id -u)}/mulvo-$MULVO_SIM_INSTANCE"' EXIT

log="$build/e2e-screenshot.log"
if ! env -u DISPLAY -u WAYLAND_DISPLAY DOVRAX_BUILD_DIR="$build" \
    timeout 550 "$source_dir/scripts/run" >"$log" 2>&1; then
    cat "$log" >&2
    fail "scripts/run failed"
fi
grep -q "screenshot.png" "$log" || { cat "$log" >&2; fail "scripts/run did not say where the picture is"; }

[ -s "$shot" ] || { cat "$log" >&2; fail "$shot was not written"; }
info=$(identify "$shot") || fail "$shot is not an image"
printf '[%s] %s\n' "$name" "$info"
case "$info" in
    *" PNG 1280x1024 "*) ;;
    *) fail "expected a 1280x1024 PNG: $info" ;;
esac

# Not a blank screen: the picture holds many colours, among them the blue of the form's group
# frames, so the program's form was drawn when it was taken.
colours=$(identify -format '%k' "$shot")
[ "$colours" -ge 64 ] || fail "the picture has only $colours colours"
frame_blue=$(convert "$shot" -fill black +opaque 'rgb(84,146,219)' -fill white -opaque 'rgb(84,146,219)' \
    -format '%[fx:round(mean*w*h)]' info:)
[ "$frame_blue" -ge 500 ] || fail "the form's group frames are not in the picture" \
    "($frame_blue pixels of their colour)"
printf '[%s] PASS: %s colours, %s pixels of the group frames\n' "$name" "$colours" "$frame_blue"
