# Verified copies (/V): a kill, a byte of the temporary file damaged inside
# the copied part, a rerun that catches it without reading the copied part
# of the source again, and the run after that. (The real shares' copies are
# verified ones.)

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
  perl -e 'open(F, "+<", $ARGV[0]) && seek(F, $ARGV[1], 0) && read(F, $b, 1) && seek(F, $ARGV[1], 0) && print F ~$b' "$@"
}

scenario_verify_kill_damage_resume() {
  new_case verify-kill-damage-resume
  local src=$dir/v.bin final=$dst/v.bin size=$((40 * 1048576 + 777)) count flip from=x to=0 child
  make_source "$src" "$size"
  # Each write waits 20 ms, a checkpoint every 50 ms: segments of a few
  # blocks; killed once half the source is stored as copied.
  fast_clock 200
  inject -e trace=write,pwrite64 -e inject=write,pwrite64:delay_enter=20000
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
  check "ends identical, nothing left" completed "$src" "$final"
  check "digest line as xxhsum prints it" ends_with_digest "$src" "$final"
  end_case
}
