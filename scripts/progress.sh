#!/usr/bin/env bash
# Passes a long step's output through as it arrives, one line at a time.
#
#   COMMAND | bash scripts/progress.sh [PATTERN]
#
# Only lines matching PATTERN (an extended regular expression; default:
# every non-empty line) are shown, indented, with leading blanks dropped.
# When nothing has been shown for 10 s, a line says how long the step has
# been running, so a slow download or compile never looks like a hang.
# Reading is done by bash itself: awk and sed read a pipe a block at a time
# and would hold lines back until the step ends.
set -uo pipefail
pattern=${1:-.}
quiet_limit=10
start=$SECONDS
last=$SECONDS
partial=""
shopt -s extglob
while :; do
  IFS= read -r -t 1 line
  status=$?
  if ((status > 128)); then
    # Timed out: keep what arrived of the line for the next read.
    partial+=$line
    if ((SECONDS - last >= quiet_limit)); then
      echo "    ... still working ($((SECONDS - start)) s)"
      last=$SECONDS
    fi
    continue
  fi
  line=$partial$line
  partial=""
  if [[ -n $line && $line =~ $pattern ]]; then
    echo "    ${line##+([[:space:]])}"
    last=$SECONDS
  fi
  # Anything but 0 is the end of input (an unterminated last line included).
  ((status == 0)) || break
done
