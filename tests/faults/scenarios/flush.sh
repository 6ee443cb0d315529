# A flush that fails, at a checkpoint and in finishing: no count is stored
# for data the flush did not secure, nothing is renamed, and the rerun
# resumes from the last good count.

flush_failure="Exception EWin32Error${nl}Win32 Error.  Code: 1117.${nl}Input/output error"

scenario_flush_fails_at_checkpoint() {
  new_case flush-fails-at-checkpoint
  make_source "$dir/a.bin" $((24 * 1048576 + 100))
  # Two checkpoints succeed (each flushes the target, then the size file),
  # the third one's flush of the target fails.
  fast_clock 200
  inject -e trace=fdatasync -e inject=fdatasync:error=EIO:when=5
  run_ferrux "$dir/a.bin" "$dst" 4096
  local second
  second=$(progress_rows | awk 'NR == 2 {print $1}')
  check "report" output_ends_with "$flush_failure"
  check "two rows before the failure" test "$(progress_rows | wc -l)" -eq 2
  check "resumable" resumable "$dir/a.bin" "$dst/a.bin"
  check "count of the second checkpoint kept" test "$(stored_count "$dst/a.bin.size")" = "$second"
  check "rerun resumes from it" rerun_completes "$dir/a.bin" "$dst"
  check "restart line" output_has "Restart from $second$nl"
  end_case
}

# SIZE:CALL:N: the Nth CALL of a copy of SIZE bytes (or of a resumed copy)
# fails. Without a sped-up clock no count is stored on the way: the first
# flush is the target's before the rename (of the copy in one piece, or of
# the bulk copy), the second that of the size file a resumed copy has; the
# fsync is the folder's after the rename, which leaves the copy under its
# name.
scenario_flush_fails_in_finishing() {
  local row size call n
  for row in 3000:fdatasync:1 8388613:fdatasync:1 resumed:fdatasync:2 2097152:fsync:1; do
    IFS=: read -r size call n <<<"$row"
    new_case "$call-$n-fails-$size"
    if [[ $size == resumed ]]; then
      stopped_copy "$dir/b.bin" "$dst" stamped
    else
      make_source "$dir/b.bin" "$size"
    fi
    inject -e trace="$call" -e inject="$call":error=EIO:when="$n"
    run_ferrux "$dir/b.bin" "$dst"
    check "report" output_ends_with "Target File Size Set...Ok${nl}$flush_failure"
    if [[ $call == fsync ]]; then
      check "status" test "$status" -eq 1
      check "the copy has its name" same_file "$dir/b.bin" "$dst/b.bin"
    else
      check "resumable" resumable "$dir/b.bin" "$dst/b.bin"
      check "rerun completes" rerun_completes "$dir/b.bin" "$dst"
    fi
    end_case
  done
}
