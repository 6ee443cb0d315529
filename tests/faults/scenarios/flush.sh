# A flush that fails, at a checkpoint and in finishing: no count is stored
# for data the flush did not secure, nothing is renamed, and the rerun
# resumes from the last good count.

scenario_flush_fails_at_checkpoint() {
  new_case flush-fails-at-checkpoint
  make_source "$dir/a.bin" $((24 * 1048576 + 100))
  # Two checkpoints succeed (each flushes the target, then the size file),
  # the third one's flush of the target fails.
  fast_clock 200
  inject -e trace=fdatasync -e inject=fdatasync:error=EIO:when=5
  run_ferrux "$dir/a.bin" "$dst" 4096
  local rows
  rows=$(grep -cE '^ +[0-9]+ +[0-9]+ ' <<<"$out")
  check "report" output_ends_with "Exception EWin32Error${nl}Win32 Error.  Code: 1117.${nl}Input/output error"
  check "two rows before the failure" test "$rows" -eq 2
  check "resumable" resumable "$dir/a.bin" "$dst/a.bin"
  local second
  second=$(grep -E '^ +[0-9]+ +[0-9]+ ' <<<"$out" | sed -n 2p | awk '{print $1}')
  check "count of the second checkpoint kept" test "$(stored_count "$dst/a.bin.size")" = "$second"
  check "rerun resumes from it" rerun_completes "$dir/a.bin" "$dst"
  check "restart line" output_has "Restart from $second$nl"
  end_case
}

scenario_flush_fails_in_finishing() {
  local bulk=$((8 * 1048576 + 5)) size flush
  # Without a sped-up clock no count is stored on the way: the first flush
  # is the target's before the rename, the second the size file's.
  for spec in "3000 1" "$bulk 1" "$bulk 2"; do
    read -r size flush <<<"$spec"
    new_case "flush-$flush-fails-$size"
    make_source "$dir/b.bin" "$size"
    inject -e trace=fdatasync -e inject=fdatasync:error=EIO:when="$flush"
    run_ferrux "$dir/b.bin" "$dst"
    check "report" output_ends_with "Target File Size Set...Ok${nl}Exception EWin32Error${nl}Win32 Error.  Code: 1117.${nl}Input/output error"
    check "resumable" resumable "$dir/b.bin" "$dst/b.bin"
    check "rerun completes" rerun_completes "$dir/b.bin" "$dst"
    end_case
  done
}
