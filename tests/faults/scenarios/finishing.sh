# A kill in the preallocation, and at exactly each system call of finishing
# (cut to size, times, the flush, closing, deleting the size file, the
# rename and its directory flush, the attributes): the rerun ends with a
# correct final file or a clear report, and no final name ever holds an
# incomplete copy.

# How often the program calls SYSCALL in a whole run of ARGS.
count_calls() {  # SYSCALL ARGS...
  local syscall=$1
  shift
  strace -f -qq -o "$dir/calls" -e trace="$syscall" "$program" "$@" >/dev/null
  grep -c "$syscall(" "$dir/calls"
  rm -f "$dst/final.bin"
}

scenario_kill_in_finishing() {
  local spec syscall back last
  # SYSCALL:N kills at the Nth call from the end.
  for spec in fallocate:1 ftruncate:1 utimensat:1 fdatasync:1 close:3 close:2 close:1 \
              unlink:1 renameat2:1 fsync:1 chmod:1; do
    syscall=${spec%:*} back=${spec#*:}
    new_case "kill-at-$syscall-$back"
    make_source "$dir/final.bin" $((4 * 1048576 + 77))
    last=$(count_calls "$syscall" "$dir/final.bin" "$dst" 65536)
    inject -e trace="$syscall" \
      -e inject="$syscall":signal=KILL:when=$((last - back + 1))
    run_ferrux "$dir/final.bin" "$dst" 65536
    check "killed" test "$status" -eq 137
    if [[ -e $dst/final.bin ]]; then
      check "a final name only for the whole copy" same_file "$dir/final.bin" "$dst/final.bin"
      run_ferrux "$dir/final.bin" "$dst" 65536
      check "rerun reports the name taken" \
        output_ends_with "Temporary Target File not renamed, see file with .tmp extension"
      check "and keeps its complete copy" same_file "$dir/final.bin" "$dst/final.bin.tmp"
    else
      check "rerun completes" rerun_completes "$dir/final.bin" "$dst" 4096
    fi
    end_case
  done
}
