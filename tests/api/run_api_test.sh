#!/usr/bin/env bash
# Runs the C API test program against a virtual printer of its own: starts
# vexolant-sim with the rules the program expects, hands it the printer's
# device and a scratch directory, stops the printer and checks that it ended
# cleanly. The printer's log is shown when anything failed.
# Usage: run_api_test.sh SIM PROGRAM WORK_DIR
set -uo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 SIM PROGRAM WORK_DIR" >&2
  exit 2
fi
sim=$1
program=$2
work=$3
start_limit_s=10

case "$work" in
  "" | / | /work | "$HOME") echo "refusing to empty $work" >&2; exit 2 ;;
esac
rm -rf -- "$work"
mkdir -p "$work/scratch"
log="$work/printer.log"

# The printer's first line of output is its device; reading it through a
# FIFO bounds the wait without polling.
mkfifo "$work/sim.out"
"$sim" --log "$log" --rule 'X=refuse:4060' --rule 'R=report:3:Line %d' \
  --rule 'S=block:Ready' >"$work/sim.out" &
sim_pid=$!
exec 3<"$work/sim.out"

stop_printer() {
  kill -TERM "$sim_pid" 2>/dev/null
  wait "$sim_pid"
}

device=
if ! read -r -t "$start_limit_s" -u 3 device || [ -z "$device" ]; then
  echo "the printer did not start within ${start_limit_s} s" >&2
  kill -KILL "$sim_pid" 2>/dev/null
  exit 1
fi

"$program" "$device" "$work/scratch"
program_status=$?
stop_printer
sim_status=$?
exec 3<&-

if [ "$sim_status" -ne 0 ]; then
  echo "the printer ended with status $sim_status" >&2
fi
if [ "$program_status" -ne 0 ] || [ "$sim_status" -ne 0 ]; then
  echo "printer log:" >&2
  cat "$log" >&2
  exit 1
fi
