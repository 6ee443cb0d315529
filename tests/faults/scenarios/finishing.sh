# Finishing (a kill at each of its calls is the explorer's): a second run
# started at each call, and failures of the rename's steps. How a run ends
# that meets a copy finished or under way on its target:
declare -A finish_report=(
  [locked]="Exception EInOutError${nl}I/O error 32"
  [done]="Target File already complete"
  [taken]="Temporary Target File not renamed, see file with .tmp extension"
)

# Plants a stopped copy of SRC into DSTDIR; sets $when to the number of
# the Nth SYSCALL from the end of the run that resumes it.
plant_and_count() {  # SYSCALL N SRC DSTDIR BLOCK
  stopped_copy "$3" "$4" stamped
  strace -f -qq -o "$dir/calls" -e trace="$1" "$program" "$3" "$4" "$5" >/dev/null
  when=$(($(grep -c "\b$1(" "$dir/calls") - $2 + 1))
  rm -f "$4/$(basename "$3")"
  stopped_copy "$3" "$4" stamped
}

# A second run started while the first one is held at a read or at a
# finishing call is refused, or, once the first has renamed, finds the
# copy named (and leaves it so) or the name taken; the first run ends as it
# would.
scenario_second_run() {
  local row syscall back expected
  for row in read:3:locked fsync:3:locked fdatasync:1:locked \
    renameat2:1:locked unlinkat:1:done fchmod:1:taken; do
    IFS=: read -r syscall back expected <<<"$row"
    new_case "second-run-at-$syscall-$back"
    plant_and_count "$syscall" "$back" "$dir/s.bin" "$dst" 1048576
    inject -e trace="$syscall" -e inject="$syscall":delay_enter=1500000:when=$when
    start_ferrux "$dir/s.bin" "$dst" 1048576
    sleep 0.7
    run_ferrux "$dir/s.bin" "$dst" 1048576
    check "second run: $expected" output_ends_with "${finish_report[$expected]}"
    check "second run's status" test "$status" -eq "$([[ $expected == done ]]; echo $?)"
    finish_ferrux
    check "first run completes" test "$status" -eq 0
    check "its copy is whole" same_file "$dir/s.bin" "$dst/s.bin"
    [[ $expected != locked ]] || check "nothing left over" absent "$dst/s.bin.tmp"
    end_case
  done
}

# The second name is made but the first cannot be dropped (an I/O error; a
# file busy for a moment is tried again): the second goes again, so that no
# file has two names, and the failure is reported with its code (a retry
# may cure it). The rerun, on a system that has no
# links either and finds the file busy for a moment after letting it go
# (an SMB server still closing the client's handle), completes. An unlink
# that happened but reported failure has done its work: the copy is named.
scenario_unlink_fails_after_link() {
  new_case unlink-fails-after-link
  make_source "$dir/u.bin" $((3 * 1048576 + 5))
  inject -e trace=renameat2,unlinkat -e inject=renameat2:error=EINVAL \
    -e inject=unlinkat:error=EIO:when=1
  run_ferrux "$dir/u.bin" "$dst" 1048576
  check "the unlink's failure reported" output_ends_with "Code: 1117.${nl}Input/output error"
  check "status" test "$status" -eq 1
  check "no final name" absent "$dst/u.bin"
  check "one name for the copy" test "$(stat -c %h "$dst/u.bin.tmp")" -eq 1
  inject -e trace=renameat2,linkat,renameat -e inject=renameat2:error=EINVAL \
    -e inject=linkat:error=EPERM -e inject=renameat:error=EBUSY:when=1..2
  check "rerun completes" rerun_completes "$dir/u.bin" "$dst" 1048576
  rm "$dst/u.bin"
  with_shim FERRUX_SHIM_UNLINK_LIES=1
  inject -e trace=renameat2 -e inject=renameat2:error=EINVAL
  run_ferrux "$dir/u.bin" "$dst" 1048576
  check "a lying unlink: named, nothing left" completed "$dir/u.bin" "$dst/u.bin"
  end_case
}

# So too while the first has let go of its file for a rename that meets
# it busy (an SMB server still closing it): the second run waits.
scenario_second_run_in_rename_window() {
  new_case second-run-in-rename-window && make_source "$dir/w.bin" 3000000
  run_wrap=(strace -f -qq -o "$dir/trace" -e trace=renameat2,linkat,renameat -e inject=renameat2:error=EINVAL
    -e inject=linkat:error=EPERM -e inject=renameat:error=EBUSY:when=1..8)
  start_ferrux "$dir/w.bin" "$dst" 65536
  timeout 5 bash -c 'until [[ $(grep -c "renameat(" "$0") -ge 2 ]]; do sleep 0.01; done' "$dir/trace" 2>/dev/null
  out=$("$program" "$dir/w.bin" "$dst" 65536)
  check "second run: the name is taken" output_ends_with "${finish_report[taken]}"
  finish_ferrux
  check "first run completes" test "$status" -eq 0
  check "its copy is whole" same_file "$dir/w.bin" "$dst/w.bin"
  end_case
}

# The final name is swapped for a link to another file between the rename
# and the attributes: they go to the copy, never through the link.
scenario_attributes_follow_no_link() {
  new_case attributes-follow-no-link
  make_source "$dir/a.bin" 5000
  chmod 0644 "$dir/a.bin"
  install -m 0600 /dev/null "$dir/victim"
  inject -e trace=chmod,fchmod -e inject=chmod:delay_enter=1000000 \
    -e inject=fchmod:delay_enter=1000000
  start_ferrux "$dir/a.bin" "$dst"
  sleep 0.5
  mv "$dst/a.bin" "$dir/renamed" && ln -s "$dir/victim" "$dst/a.bin"
  finish_ferrux
  check "the link's target keeps its mode" test "$(stat -c %a "$dir/victim")" = 600
  check "the copy has the source's" test "$(stat -c %a "$dir/renamed")" = 644
  end_case
}
