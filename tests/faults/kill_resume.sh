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
speed=${FERRUX_KILL_SPEED:-x200}
size=$((24 * 1024 * 1024 + 12345))  # not a multiple of any block

mkdir -p "$work/dst"
src=$work/source.bin
head -c $size /dev/urandom >"$src"
src_sum=$(sha256sum <"$src" | cut -d' ' -f1)
final=$work/dst/source.bin tmp=$final.tmp sizefile=$final.size
blocks=(4096 8192 65536 1048576 2097152)

# The program's clock runs fast. The faketime wrapper would run the program
# as its child, out of reach of the kill, so its library is preloaded
# directly (and the program started directly, so $! is its own pid).
faketime_lib=$(dpkg -L libfaketime 2>/dev/null | grep 'libfaketimeMT.so.1$' | head -n 1)

fail() {
  echo "FAIL trial $trial (kill at ${delay}s, rerun block $block): $*"
  failures=$((failures + 1))
}

# Spread the kill moments over an uninterrupted slow copy: the fastest of
# three, and at most 3 s of it (dozens of checkpoints), so that a busy
# machine makes the runs longer, never the kill moments later.
duration=3
for _ in 1 2 3; do
  start=$(date +%s.%N)
  FAKETIME="+0 $speed" NO_FAKE_STAT=1 LD_PRELOAD=$faketime_lib \
    "$program" "$src" "$work/dst" 4096 >/dev/null
  took=$(echo "$(date +%s.%N) - $start" | bc)
  duration=$(echo "if ($took < $duration) $took else $duration" | bc)
  cmp -s "$src" "$final" || { echo "FAIL: uninterrupted copy differs"; exit 1; }
  rm -f "$final"
done
LC_NUMERIC=C printf "uninterrupted slow copy: %.2f s (fastest of three, at most 3)\n" "$duration"

failures=0 identical=0 restarts=0 killed=0 premature=0
before_checkpoint=0 after_rename=0
for ((trial = 1; killed < kills_wanted && trial <= 4 * kills_wanted; trial++)); do
  rm -f "$final" "$tmp" "$sizefile"
  delay=$(echo "scale=3; $duration * $RANDOM / 32767" | bc)
  block=${blocks[RANDOM % ${#blocks[@]}]}
  status=$( (FAKETIME="+0 $speed" NO_FAKE_STAT=1 LD_PRELOAD=$faketime_lib \
              "$program" "$src" "$work/dst" 4096 >"$work/first.out" 2>&1 &
            pid=$!
            sleep "$delay"
            kill -KILL $pid 2>/dev/null
            wait $pid
            echo $?) 2>/dev/null)
  [[ $status -eq 137 ]] && killed=$((killed + 1))

  if [[ $status -eq 137 ]]; then
    if [[ -e $final ]]; then
      after_rename=$((after_rename + 1))
    elif [[ ! -s $sizefile ]]; then
      before_checkpoint=$((before_checkpoint + 1))
    fi
  fi
  if [[ -e $final ]]; then
    # Only the rename can have made it: it must be the whole copy.
    cmp -s "$src" "$final" || { premature=$((premature + 1)); fail "final name holds an incomplete copy"; }
  fi
  if [[ -e $sizefile ]]; then
    bytes=$(stat -c %s "$sizefile")
    if [[ $bytes -eq 28 ]]; then
      count=$(od -An -t d8 -N 8 "$sizefile" | tr -d ' ')
      tmp_bytes=$(stat -c %s "$tmp")
      if ((count > tmp_bytes)); then
        fail "stored count $count above temporary size $tmp_bytes"
      elif ! cmp -s -n "$count" "$src" "$tmp"; then
        fail "first $count bytes of the temporary file differ from the source"
      fi
      ((count > 0)) && restarts=$((restarts + 1))
    elif [[ $bytes -ne 0 ]]; then
      fail "size file of $bytes bytes"
    fi
  fi

  if [[ ! -e $final ]]; then
    "$program" "$src" "$work/dst" "$block" >"$work/second.out" 2>&1
    status=$?
    if [[ $status -ne 0 ]]; then
      fail "rerun exited with $status: $(tr '\n' '|' <"$work/second.out")"
      continue
    fi
  fi
  if [[ -e $tmp || -e $sizefile ]]; then
    fail "leftover temporary or size file"
  fi
  if [[ $(sha256sum <"$final" | cut -d' ' -f1) == "$src_sum" ]]; then
    identical=$((identical + 1))
  else
    fail "final file differs from the source"
  fi
done

trials=$((trial - 1))
echo "runs: $trials; killed before their end: $killed" \
  "(before the first checkpoint: $before_checkpoint," \
  "after the rename: $after_rename, resumed from a stored count: $restarts)"
echo "final files identical: $identical of $trials; incomplete final names: $premature"
if ((killed < kills_wanted)); then
  echo "FAIL: only $killed of $kills_wanted runs were killed before their end"
  failures=$((failures + 1))
fi
rm -rf "$work"
[[ $failures -eq 0 ]]
