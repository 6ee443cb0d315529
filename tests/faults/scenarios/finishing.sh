# Finishing: a kill at each of its calls, a second run started at each, and
# failures of the rename's steps, with the atomic rename and with the
# linked one (the atomic one refused, as NFS and sshfs do). Whatever
# happens, a final name only ever holds the whole copy, no later run
# modifies it, and the rerun ends with the copy in place or a clear report.

# strace's arguments that trace CALLS and, in a linked case ($linked set),
# refuse the atomic rename as NFS and sshfs do: strace takes one set of
# traced calls, so the refusal adds its call to it.
linked=
traced() {  # CALLS
  strace_args=(-e trace="$1${linked:+,renameat2}")
  [[ -z $linked ]] || strace_args+=(-e inject=renameat2:error=EINVAL)
}

# How a run ends that meets a copy finished or under way on its target.
declare -A finish_report=(
  [locked]="Exception EInOutError${nl}I/O error 32"
  [gone]="Counter Size More Then Tmp File Size"
  [taken]="Temporary Target File not renamed, see file with .tmp extension"
  [named]="Temporary Target File has another name, delete .tmp and .size files to start over"
)

# Plants a copy of SRC into DSTDIR that will stop at its finishing calls:
# resumed from a stopped copy (its size file marks it complete before the
# rename), or, with "fresh", done within one interval, which never makes a
# size file. Sets $when to the number of the Nth SYSCALL from the end of
# such a run, counted in one (traced as "traced SYSCALL" sets).
plant_and_count() {  # SYSCALL N SRC DSTDIR BLOCK [fresh]
  local run
  for run in count real; do
    if [[ -n ${6:-} ]]; then make_source "$3" $((4 * 1048576 + 77)); else stopped_copy "$3" "$4" stamped; fi
    [[ $run == real ]] && return
    traced "$1"
    strace -f -qq -o "$dir/calls" "${strace_args[@]}" "$program" "$3" "$4" "$5" >/dev/null
    when=$(($(grep -c "\b$1(" "$dir/calls") - $2 + 1))
    rm -f "$4/$(basename "$3")"
  done
}

# After a fault in finishing: the rerun (with the same refusals) completes
# ("done"), or reports the taken name or the missing temporary file; a
# final name that existed stays the whole, unchanged copy.
rerun_after_finishing_fault() {  # EXPECTED SRC DSTDIR
  local final=$3/$(basename "$2")
  [[ ! -e $final ]] || same_file "$2" "$final" || return 1
  [[ -z $linked ]] || { traced renameat2 && inject "${strace_args[@]}"; }
  [[ $1 != done ]] || { rerun_completes "$2" "$3" 65536; return; }
  run_ferrux "$2" "$3" 65536
  [[ $status -eq 1 ]] && same_file "$2" "$final" && output_ends_with "${finish_report[$1]}"
}

# Kills at each finishing call of ROWS, copying into DSTBASE/<case> (or
# the case's own folder): the rerun ends as each row expects.
kill_in_finishing_on() {  # LABEL ROWS [DSTBASE]
  local row syscall back expected fresh target
  for row in $2; do
    IFS=: read -r syscall back expected fresh <<<"$row"
    new_case "kill-$1-at-$syscall-$back${fresh:+-fresh}"
    target=${3:+$3/$case_name}
    mkdir -p "${target:=$dst}"
    plant_and_count "$syscall" "$back" "$dir/f.bin" "$target" 65536 $fresh
    inject "${strace_args[@]}" -e inject="$syscall":signal=KILL:when=$when
    run_ferrux "$dir/f.bin" "$target" 65536
    check "killed" test "$status" -eq 137
    check "rerun: $expected" rerun_after_finishing_fault "$expected" "$dir/f.bin" "$target"
    [[ $case_ok -eq 1 && -n ${3:-} ]] && rm -rf "$target"
    end_case
  done
}

# SYSCALL:N:EXPECTED[:fresh] kills at the Nth call of SYSCALL from the
# end. The size file marks the copy complete before the rename
# (fdatasync:1), and is deleted after it (unlinkat:1); a fresh copy drops
# only its temporary name (unlinkat:1), and the system tells the second
# name it leaves.
scenario_kill_in_finishing() {
  kill_in_finishing_on atomic "ftruncate:1:done utimensat:1:done fdatasync:2:done fdatasync:1:done
    renameat2:1:done unlinkat:1:gone fchmod:1:taken fsync:1:taken close:1:taken"
  linked=1 kill_in_finishing_on linked "linkat:1:done unlinkat:2:done unlinkat:1:gone
    unlinkat:1:done:fresh"
}

# A second run started while the first one is held at a read in the middle
# of the copy or at a finishing call never changes the first one's
# outcome: the second is refused, or, once the first has renamed, finds
# the temporary file gone or the name taken; the first run ends with the
# copy in place.
scenario_second_run() {
  local row syscall back expected
  for row in read:3:locked fdatasync:2:locked fdatasync:1:locked \
    renameat2:1:locked unlinkat:1:gone fchmod:1:taken; do
    IFS=: read -r syscall back expected <<<"$row"
    new_case "second-run-at-$syscall-$back"
    plant_and_count "$syscall" "$back" "$dir/s.bin" "$dst" 1048576
    inject "${strace_args[@]}" -e inject="$syscall":delay_enter=1500000:when=$when
    start_ferrux "$dir/s.bin" "$dst" 1048576
    sleep 0.7
    run_ferrux "$dir/s.bin" "$dst" 1048576
    check "second run: $expected" output_ends_with "${finish_report[$expected]}"
    check "second run fails" test "$status" -eq 1
    finish_ferrux
    check "first run completes" test "$status" -eq 0
    check "its copy is whole" same_file "$dir/s.bin" "$dst/s.bin"
    [[ $expected != locked ]] || check "nothing left over" absent "$dst/s.bin.tmp"
    end_case
  done
}

# The second name is made but the first cannot be dropped: the second goes
# again, so that no file has two names. The rerun, on a system that has no
# links either and finds the file busy for a moment after letting it go
# (an SMB server still closing the client's handle), completes.
scenario_unlink_fails_after_link() {
  new_case unlink-fails-after-link
  make_source "$dir/u.bin" $((3 * 1048576 + 5))
  inject -e trace=renameat2,unlinkat -e inject=renameat2:error=EINVAL \
    -e inject=unlinkat:error=EBUSY:when=1
  run_ferrux "$dir/u.bin" "$dst" 1048576
  check "not renamed" output_ends_with "${finish_report[taken]}"
  check "status" test "$status" -eq 1
  check "no final name" absent "$dst/u.bin"
  check "one name for the copy" test "$(stat -c %h "$dst/u.bin.tmp")" -eq 1
  inject -e trace=renameat2,linkat,renameat -e inject=renameat2:error=EINVAL \
    -e inject=linkat:error=EPERM -e inject=renameat:error=EBUSY:when=1..2
  check "rerun completes" rerun_completes "$dir/u.bin" "$dst" 1048576
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
