#!/usr/bin/env bash
# Kill-and-resume experiment: starts a resumable copy with its clock sped up
# (so checkpoints come every few tens of milliseconds), kills it with SIGKILL
# at a random moment, checks what the kill left behind, then reruns the same
# command (often with another block size) and checks the final file.
#
#   kill_resume.sh PROGRAM [KILLS] [WORKDIR]
#
# Runs until KILLS runs (default 100) have been killed before they ended.
# After every kill: a final name exists only for a complete, identical copy;
# a stored count never exceeds the temporary file and covers only bytes equal
# to the source. After every rerun: the final file is identical to the
# source and neither NAME.tmp nor NAME.size remains.
set -uo pipefail
program=$(realpath "$1")
kills_wanted=${2:-100}
work=${3:-$(mktemp -d)}
source "$(dirname "$0")/lib.sh"
dir=$work src=$work/source.bin final=$work/dst/source.bin
blocks=(4096 8192 65536 1048576 2097152)
mkdir -p "$work/dst"
make_source "$src" $((24 * 1048576 + 12345))  # not a multiple of any block

# The clock is preloaded, not run as the faketime wrapper, whose child the
# kill would miss.
speed=${FERRUX_KILL_SPEED:-200}

# Spread the kill moments over an uninterrupted slow copy: the fastest of
# three, and at most 3 s of it (dozens of checkpoints), so that a busy
# machine makes the runs longer, never the kill moments later.
duration=3000000
for _ in 1 2 3; do
  start=${EPOCHREALTIME/./}
  fast_clock "$speed"
  run_ferrux "$src" "$work/dst" 4096
  took=$((${EPOCHREALTIME/./} - start))
  ((took < duration)) && duration=$took
  cmp -s "$src" "$final" || { echo "FAIL: uninterrupted copy differs"; exit 1; }
  rm -f "$final"
done
echo "uninterrupted slow copy: $((duration / 1000)) ms (fastest of three, at most 3 s)"

failures=0 identical=0 restarts=0 killed=0 premature=0 before_checkpoint=0 after_rename=0
fail() { echo "FAIL trial $trial (kill at ${delay} us, rerun block $block): $*"; failures=$((failures + 1)); }
for ((trial = 1; killed < kills_wanted && trial <= 4 * kills_wanted; trial++)); do
  rm -f "$final" "$final.tmp" "$final.size"
  delay=$((duration * RANDOM / 32767))
  block=${blocks[RANDOM % ${#blocks[@]}]}
  fast_clock "$speed"
  run_killed_after "$delay" "$src" "$work/dst" 4096
  if [[ $status -eq 137 ]]; then
    killed=$((killed + 1))
    [[ -e $final ]] && after_rename=$((after_rename + 1))
    [[ ! -e $final && ! -s $final.size ]] && before_checkpoint=$((before_checkpoint + 1))
  fi
  why=$(state_sound "$src" "$final") || { [[ $why == final* ]] && premature=$((premature + 1)); fail "$why"; }
  [[ -s $final.size && $(stored_count "$final.size") -gt 0 ]] && restarts=$((restarts + 1))
  if [[ ! -e $final ]]; then
    run_ferrux "$src" "$work/dst" "$block"
    [[ $status -eq 0 ]] || { fail "rerun exited with $status: ${out//$nl/|}"; continue; }
  fi
  [[ -e $final.tmp || -e $final.size ]] && fail "leftover temporary or size file"
  cmp -s "$src" "$final" && identical=$((identical + 1)) || fail "final file differs from the source"
done

trials=$((trial - 1))
echo "runs: $trials; killed before their end: $killed" \
  "(before the first checkpoint: $before_checkpoint," \
  "after the rename: $after_rename, resumed from a stored count: $restarts)"
echo "final files identical: $identical of $trials; incomplete final names: $premature"
((killed >= kills_wanted)) ||
  { echo "FAIL: only $killed of $kills_wanted runs were killed before their end"; failures=$((failures + 1)); }
rm -rf "$work"
[[ $failures -eq 0 ]]
