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

# The folder's flush after the rename fails: an I/O error is reported,
# exit status 1; a file system that refuses to flush a folder (EINVAL)
# earns a warning line, exit status 0. Either way the copy keeps its name.
# (The flushes before the rename are rows of the failures in the copy.)
scenario_folder_flush_fails() {
  local error status_wanted ending
  for error in EIO EINVAL; do
    status_wanted=1 ending=$flush_failure
    [[ $error == EINVAL ]] && status_wanted=0 ending="Target Folder not flushed"
    new_case "folder-flush-fails-$error"
    make_source "$dir/b.bin" 2097152
    inject -e trace=fsync -e inject=fsync:error="$error":when=2
    run_ferrux "$dir/b.bin" "$dst"
    check "report" output_ends_with "Target File Size Set...Ok${nl}$ending"
    check "status" test "$status" -eq "$status_wanted"
    check "the copy has its name" same_file "$dir/b.bin" "$dst/b.bin"
    end_case
  done
}
