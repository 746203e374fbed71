#!/usr/bin/env bash
# Data output and input end to end: clicks and typing on the form, the virtual adapter's state
# read with mulvo-sim, the form read through the accessibility bus (io_test.py).
#   e2e-io.sh DOVRAX MULVO_SIM
DOVRAX=$1 MULVO_SIM=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/e2e-lib.sh"
e2e_init io

command -v dbus-run-session >/dev/null || e2e_skip "dbus-run-session is not installed (dbus)"
# The interpreter that has the D-Bus binding: the system's, whatever python3 comes first.
python=""
for candidate in python3 /usr/bin/python3; do
    if command -v "$candidate" >/dev/null && "$candidate" -c 'import dbus' 2>/dev/null; then
        python=$candidate
        break
    fi
done
[ -n "$python" ] || e2e_skip "no python3 with the D-Bus binding (python3-dbus)"
[ -f /usr/share/dbus-1/services/org.a11y.Bus.service ] ||
    e2e_skip "the accessibility bus is not installed (at-spi2-core)"

# The accessibility bus puts its socket in the runtime folder, which e2e_init keeps to this test
# and where it made this test's virtual adapter.
export PYTHONDONTWRITEBYTECODE=1
timeout 90 dbus-run-session -- "$python" "$here/io_test.py" "$DOVRAX" "$MULVO_SIM" "$E2E_WORK"
