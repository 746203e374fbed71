#!/usr/bin/env bash
# An interrupt flood through the command-line tools: `mulvo-sim irq COUNT` raises interrupts as
# fast as it can while `mulvo watch -n COUNT > /dev/null` prints one line for each. Prints, per
# run, the rate from the start of mulvo-sim to the end of mulvo watch (every line written), and
# watch's own summary. Exits 1 unless every run counted every interrupt and exited 0.
#   bench/mulvo/cli-flood.sh [BUILD_DIR=build] [COUNT=1000000] [RUNS=5]
set -euo pipefail
build=${1:-build}
count=${2:-1000000}
runs=${3:-5}
sim=$build/bin/mulvo-sim
mulvo=$build/bin/mulvo
export MULVO_SIM_INSTANCE="bench-cli-flood-$$"
summary=$(mktemp)
trap 'rm -f "$summary" "/dev/shm/mulvo-$(id -u)-$MULVO_SIM_INSTANCE"' EXIT
"$sim" reset 2>/dev/null
status=0
for run in $(seq 1 "$runs"); do
    "$sim" reset
    "$mulvo" watch -n "$count" >/dev/null 2>"$summary" &
    watcher=$!
    until "$sim" status | grep -qx 'armed=1'; do sleep 0.01; done
    start=$(date +%s.%N)
    "$sim" irq "$count"
    rc=0
    wait "$watcher" || rc=$?
    end=$(date +%s.%N)
    awk -v n="$count" -v s="$start" -v e="$end" -v run="$run" -v rc="$rc" \
        'BEGIN { printf "run %d: %d interrupts in %.3f s, %.0f per second end to end, exit %d\n",
                 run, n, e - s, n / (e - s), rc }'
    sed 's/^/    /' "$summary"
    grep -q "^mulvo: $count interrupts in .*, 0 lost" "$summary" && [ "$rc" -eq 0 ] || status=1
done
exit "$status"
