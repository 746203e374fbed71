#!/usr/bin/env bash
# Usage: install-tree.sh BUILD_DIR LIBDIR ADAPTER_LIBDIR
# Installs BUILD_DIR into a scratch prefix and checks both trees: the adapter libraries only in
# the private ADAPTER_LIBDIR, never directly in LIBDIR; no RUNPATH entry that is empty or
# relative (the dynamic linker takes those from the current directory) and, once installed,
# none into the build tree; the installed dovrax refuses a wrong choice of library with status
# 2 before it needs a display, and otherwise names the library it loaded.
set -u
build=$1 libdir=$2 adapterdir=$3
status=0
fail() {
    echo "install tree: FAIL: $*" >&2
    status=1
}

scratch=$(mktemp -d "${TMPDIR:-/tmp}/dovrax-install.XXXXXX")
export MULVO_SIM_INSTANCE="install-tree-$$"
trap 'rm -rf "$scratch"; rm -f "/dev/shm/mulvo-$(id -u)-$MULVO_SIM_INSTANCE" \
        "${XDG_RUNTIME_DIR:-/run/user/$(id -u)}/mulvo-$MULVO_SIM_INSTANCE"' EXIT
prefix=$scratch/usr
cmake --install "$build" --prefix "$prefix" >/dev/null || {
    echo "install tree: cmake --install failed" >&2
    exit 1
}

for lib in libmulvo.so.1 libmulvo-gpio.so.1; do
    [ -f "$prefix/$adapterdir/$lib" ] || fail "$lib is not in $adapterdir"
done
for lib in "$prefix/$libdir"/libmulvo*; do
    [ -e "$lib" ] && fail "$lib is on the system's library path"
done

# check_runpath TREE INSTALLED: every executable or shared object under TREE (not the scratch
# prefix, which may lie inside it).
check_runpath() {
    local tree=$1 installed=$2 file runpath entry count=0
    while IFS= read -r -d '' file; do
        [ "$(head -c 4 "$file" | od -An -tx1 | tr -d ' \n')" = 7f454c46 ] || continue
        count=$((count + 1))
        runpath=$(readelf -d "$file" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]$/\2/p')
        [ -n "$runpath" ] || continue
        # A trailing ':' is an empty last entry: read one field more than there are colons.
        while IFS= read -r -d ':' entry; do
            case $entry in
            /* | '$ORIGIN' | '$ORIGIN/'* | '${ORIGIN}' | '${ORIGIN}/'*) ;;
            *) fail "$file: RUNPATH [$runpath] has the entry '$entry'" ;;
            esac
            if [ "$installed" = yes ] && [[ $entry == "$build"* ]]; then
                fail "$file: RUNPATH [$runpath] points into the build tree"
            fi
        done <<<"$runpath:"
    done < <(find "$tree" -path "$scratch" -prune -o -type f \( -perm -u+x -o -name '*.so*' \) -print0)
    [ "$count" -gt 0 ] || fail "no ELF file found under $tree"
}
check_runpath "$build" no
check_runpath "$prefix" yes

# The choice of library, before any display is needed (there is none here: status 1 after it).
dovrax=$prefix/bin/dovrax
export XDG_CONFIG_HOME=$scratch/config
mkdir -p "$XDG_CONFIG_HOME/Velmora" "$scratch/work"
cd "$scratch/work" || exit 1
run() { # EXPECTED_STATUS EXPECTED_TEXT COMMAND...
    local expected=$1 text=$2 err code
    shift 2
    err=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$@" 2>&1 >/dev/null)
    code=$?
    [ "$code" = "$expected" ] || fail "$* exited $code, not $expected: $err"
    [[ $err == *"$text"* ]] || fail "$*: no '$text' in: $err"
}
run 2 '--adapter must be an absolute path, not the relative path "lib/x.so"' \
    "$dovrax" --adapter lib/x.so
run 2 '--adapter is empty' "$dovrax" --adapter ''
run 2 '--adapter: unknown adapter library "simulator"' "$dovrax" --adapter simulator
run 2 'DOVRAX_MULVOLIB must be an absolute path' env DOVRAX_MULVOLIB=libmulvo.so.1 "$dovrax"
printf '[Adapter]\nLibrary=x.so\n' >"$XDG_CONFIG_HOME/Velmora/DOVRAX.conf"
run 2 "the setting Library in group [Adapter] of $XDG_CONFIG_HOME/Velmora/DOVRAX.conf must be an absolute path" "$dovrax"
run 1 'no display' env DOVRAX_MULVOLIB=virtual "$dovrax"
run 1 'no display' env DOVRAX_MULVOLIB=/x.so "$dovrax" --adapter system
rm "$XDG_CONFIG_HOME/Velmora/DOVRAX.conf"

# started_line ARGS...: the line the installed program writes at start about its library.
started_line() {
    local log line="" pid
    log=$(mktemp "$scratch/dovrax.err.XXXXXX")
    QT_QPA_PLATFORM=offscreen "$dovrax" "$@" 2>"$log" >/dev/null &
    pid=$!
    for _ in $(seq 1 100); do
        line=$(grep -m1 'adapter library' "$log")
        [ -n "$line" ] && break
        sleep 0.1
    done
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    echo "$line"
}
line=$(started_line)
[ "$line" = "dovrax: adapter library $prefix/$adapterdir/libmulvo.so.1" ] ||
    fail "the installed dovrax did not load its virtual adapter: '$line'"
# A package may leave the GPIO library out: the program then says so and goes on without one.
rm -f "$prefix/$adapterdir"/libmulvo-gpio.so*
line=$(started_line --adapter gpio)
expected="dovrax: no adapter library: cannot load adapter library"
expected+=" $prefix/$adapterdir/libmulvo-gpio.so.1: No such file or directory"
[ "$line" = "$expected" ] || fail "--adapter gpio without the library: '$line'"
exit $status
