# Verified copies (/V): a kill, a byte of the temporary file damaged inside
# the copied part, a rerun that catches it without reading the copied part
# of the source again, and the run after that; /V copies to and from sshfs
# and SMB.

source "$here/../../tools/loopback-shares.sh"

# run_counting_reads ARGS...: as run_ferrux, and $reads, the bytes its read
# calls returned (cached or not): a child's count joins its shell's when
# reaped.
run_counting_reads() {
  local result
  result=$(OUT=$dir/run.out bash -c \
    '"$@" >"$OUT" 2>&1; echo "$? $(sed -n "s/^rchar: //p" /proc/$$/io)"' \
    _ "$program" "$@")
  read -r status reads <<<"$result"
  out=$(<"$dir/run.out")
}

# Flips every bit of the byte at OFFSET of FILE.
flip_byte() {  # FILE OFFSET
  local byte
  byte=$(od -An -tu1 -j "$2" -N 1 "$1" | tr -d ' ')
  printf "\\$(printf %03o $((byte ^ 255)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}

scenario_verify_kill_damage_resume() {
  new_case verify-kill-damage-resume
  local src=$dir/v.bin final=$dst/v.bin size=$((40 * 1048576 + 777)) count flip from=x to=0 child
  make_source "$src" "$size"
  # Each write waits 20 ms, a checkpoint every 50 ms: segments of a few
  # blocks; killed once half the source is stored as copied.
  fast_clock 200
  inject -e trace=write -e inject=write:delay_enter=20000
  start_ferrux /V "$src" "$dst" 1048576
  timeout 60 bash -c 'until c=$(od -An -t d8 -N 8 "$0" 2>/dev/null) && ((${c:-0} >= 20971520)); do sleep 0.02; done' "$final.size"
  child=$(pgrep -P "$run_pid")
  [[ -n $child ]] && kill -KILL "$child"
  finish_ferrux
  count=$(stored_count "$final.size")
  check "killed after a checkpoint" test "${count:-0}" -ge 20971520 -a ! -e "$final"
  flip=$((count - 1048576 - 3))
  flip_byte "$final.tmp" "$flip"
  run_counting_reads /V "$src" "$dst" 1048576
  [[ $out =~ in\ bytes\ ([0-9]+)\ to\ ([0-9]+), ]] && from=${BASH_REMATCH[1]} to=${BASH_REMATCH[2]}
  check "damage caught, not renamed" test "$status" -eq 1 -a ! -e "$final"
  check "verify step failed" output_has "Verify Target File...Fail$nl"
  check "the damaged range named" test "$from" -le "$flip" -a "$flip" -le "$to"
  check "count set back to it" test "$(stored_count "$final.size")" = "$from"
  check "digests of the copied part stored, not made again" test "${out/Read Copied Part/}" = "$out"
  # The rest of the source once, the temporary file at most once.
  check "source bytes read once ($reads)" test "${reads:-0}" -le $((2 * size - count + 1048576))
  run_ferrux /V "$src" "$dst"
  check "restarts at the damaged segment" output_has "Restart from $from$nl"
  check "ends identical" same_file "$src" "$final"
  check "digest line as xxhsum prints it" output_ends_with "$(xxhsum -H2 "$src" | cut -c1-32)  $final"
  check "nothing left" absent "$final.tmp"
  end_case
}

# A /V copy to the share and back, each read back from the server.
scenario_verify_on_shares() {
  local row kind up down from to
  for row in sshfs/sshfs_up/sshfs_down smb/smb_up/smb_down; do
    IFS=/ read -r kind up down <<<"$row"
    new_case "$kind-verify"
    if ! "$up" "$work/shares" >/dev/null 2>"$work/why"; then
      skip_case "$(<"$work/why")"
      continue
    fi
    make_source "$dir/v.bin" $((5 * 1048576 + 3))
    mkdir -p "$share/$kind"
    for to in "$share/$kind" "$dst"; do
      [[ $to == "$dst" ]] && from=$share/$kind/v.bin || from=$dir/v.bin
      run_ferrux /V "$from" "$to" 1048576
      check "to $to: verified" output_ends_with \
        "Verify Target File...Ok$nl$(xxhsum -H2 "$dir/v.bin" | cut -c1-32)  $to/v.bin"
      check "to $to: identical" same_file "$dir/v.bin" "$to/v.bin"
    done
    rm -rf "$share/$kind"
    end_case
    "$down" "$work/shares"
  done
}
