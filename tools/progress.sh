#!/usr/bin/env bash
# Runs a command with its output (stdout and stderr) shown as it comes and,
# whenever it has been silent for 9 s, a line naming the step, the time
# since it began and its last line of output, so that something is printed
# at least every 10 s: a long quiet stretch (pip unpacking, a compiler at
# work, a toolchain building its runtime) never looks like a hang. Exits
# with the command's status.
# Usage: tools/progress.sh [--log FILE] STEP COMMAND [ARG...]
#   --log FILE  also write the command's whole output to FILE
set -uo pipefail
log=/dev/null
if [ "${1:-}" = --log ]; then log=$2; shift 2; fi
step=$1
shift
started=$(date +%s)

"$@" 2>&1 | tee "$log" | {
  last=""
  while :; do
    if IFS= read -r -t 9 line; then
      printf '%s\n' "$line"
      [ -n "$line" ] && last=$line
    elif [ $? -gt 128 ]; then
      # Silent for 9 s (a partial line read so far stays in $line).
      [ -n "$line" ] && { printf '%s\n' "$line"; last=$line; }
      printf '.. %s: %d s%s\n' "$step" $(($(date +%s) - started)) "${last:+, at: ${last:0:100}}"
    else
      [ -n "$line" ] && printf '%s\n' "$line"  # a last line without a newline
      break
    fi
  done
}
exit "${PIPESTATUS[0]}"
