# Shared helpers of the fault scenarios (sourced by tests/faults/run). Each
# scenario is a function that sets up files in a fresh directory, drives
# the real program through one fault, and states what it expects.

faults_tried=0 outcomes_expected=0 files_compared=0 bytes_lost=0
failed_checks=()
faketime_lib=$(dpkg -L libfaketime 2>/dev/null | grep 'libfaketimeMT.so.1$' | head -n 1)
shim=${FERRUX_FAULT_SHIM:-$(dirname "$program")/../tests/faults/libferrux_fault_shim.so}
faultfs=$(dirname "$program")/faultfs
nl=$'\n'

# new_case NAME: a fresh working directory $dir with a destination $dst.
new_case() {
  case_name=$1 dir=$work/$1 dst=$work/$1/dst case_ok=1
  mkdir -p "$dst"
  faults_tried=$((faults_tried + 1))
}

end_case() {
  local verdict=FAIL
  [[ $case_ok -eq 1 ]] && verdict=ok outcomes_expected=$((outcomes_expected + 1)) && rm -rf "$dir"
  printf '%-4s %s\n' "$verdict" "$case_name"
}

# The case cannot run on this machine: said loudly, counted as neither.
skip_case() {
  faults_tried=$((faults_tried - 1))
  printf 'skip %s (%s)\n' "$case_name" "$1"
  rm -rf "$dir"
}

# A failed check keeps the last run's output beside the case's files.
check() {  # DESCRIPTION COMMAND...
  "${@:2}" && return
  failed_checks+=("$case_name: $1") case_ok=0
  printf '%s\n' "--- $1 (status ${status:-})" "${out:-}" >>"$dir/failed-checks.log"
}

# One of many trials that went wrong: counted in the caller's $bad, and why
# said in the case's log.
went_wrong() { bad=$((bad + 1)); echo "$1" >>"$dir/wrong.log"; }

make_source() { head -c "$2" /dev/urandom >"$1"; }  # FILE BYTES

# run_ferrux ARGS...: runs the program, sets $out and $status. Only the
# next run is changed by fast_clock, with_shim and inject (under strace the
# settings go to the program alone); start_ferrux runs it in the background
# ($run_pid), finish_ferrux waits for it.
run_env=() run_wrap=()
next_run() {
  run_command=(env "${run_env[@]}")
  ((${#run_wrap[@]} == 0)) || run_command=("${run_wrap[@]}" "${run_env[@]/#/-E}")
  run_env=() run_wrap=()
}
run_ferrux() { next_run; out=$("${run_command[@]}" "$program" "$@" 2>&1); status=$?; }
start_ferrux() { next_run; "${run_command[@]}" "$program" "$@" >"$dir/run.out" 2>&1 & run_pid=$!; }
finish_ferrux() { wait "$run_pid" 2>/dev/null; status=$? out=$(<"$dir/run.out"); }

# The clock goes N times fast (a checkpoint every 10/N s); file times
# stay real, as the size file records the source's.
fast_clock() { run_env+=(FAKETIME="+0 x$1" NO_FAKE_STAT=1 LD_PRELOAD="$faketime_lib"); }
with_shim() { run_env+=(LD_PRELOAD="$shim" "$@"); }  # SETTING...
inject() { run_wrap=(strace -f -qq -o /dev/null "$@"); }  # STRACE-ARGS...

output_has() { [[ $out == *"$1"* ]]; }
output_matches() { [[ $out =~ $1 ]]; }
output_ends_with() { [[ $out == *"$1" ]]; }
# The output ends with /V's digest line for FILE named NAME, after BEFORE,
# as xxhsum -H2 prints it; without xxhsum (package xxhash) it fails.
ends_with_digest() {  # FILE NAME [BEFORE]
  local digest
  digest=$(xxhsum -H2 "$1" | cut -c1-32) && [[ $digest =~ ^[0-9a-f]{32}$ ]] &&
    output_ends_with "${3:-$nl}$digest  $2"
}
absent() { [[ ! -e $1 ]]; }
stored_count() { od -An -t d8 -N 8 "$1" | tr -d ' '; }
progress_rows() { grep -E '^ +[0-9]+ +[0-9]+ ' <<<"$out"; }

# The copy at $2 is the source $1, byte for byte.
same_file() {
  files_compared=$((files_compared + 1))
  cmp -s "$1" "$2" || { bytes_lost=$((bytes_lost + $(stat -c %s "$1"))); return 1; }
}

# What an interruption may leave of SRC at FINAL: a final name only for
# the whole copy; otherwise no size file, an empty one, or a stamped count
# (28 bytes, maybe a digest table after it) that the temporary file covers with the source's bytes. Says
# what is wrong.
state_sound() {  # SRC FINAL
  local count=0 bytes
  if [[ -e $2 ]]; then
    cmp -s "$1" "$2" || { echo "final name holds an incomplete copy"; return 1; }
  elif [[ -e $2.size ]]; then
    bytes=$(stat -c %s "$2.size")
    [[ $bytes -eq 0 || $bytes -ge 28 ]] || { echo "size file of $bytes bytes"; return 1; }
    [[ $bytes -ge 28 ]] && count=$(stored_count "$2.size")
    ((count == 0)) && return 0
    ((count <= $(stat -c %s "$2.tmp" 2>/dev/null || echo -1))) ||
      { echo "count $count beyond the temporary file"; return 1; }
    cmp -s -n "$count" "$1" "$2.tmp" || { echo "count $count covers bytes unlike the source"; return 1; }
  fi
}

# The state a failure must leave: exit status 1, no final name, the
# temporary file present, and a sound stored count.
resumable() {  # SRC FINAL
  [[ $status -eq 1 && -e $2.tmp ]] && absent "$2" && state_sound "$@" >/dev/null
}

# The run ended 0 with the copy of SRC at FINAL, nothing left beside it.
completed() { [[ $status -eq 0 ]] && same_file "$1" "$2" && absent "$2.tmp" && absent "$2.size"; }  # SRC FINAL

# A run without faults completes to an identical copy, nothing left over.
rerun_completes() {  # [/V] SRC DSTDIR [BLOCK]
  local args=("$@") && [[ $1 != /V ]] || shift
  run_ferrux "${args[@]}"
  completed "$1" "$2/$(basename "$1")"
}

# Where faultfs can run: $back (a backing folder) and $mnt (where faultfs
# shows it) in the case's folder; else false, and the case skipped.
fuse_ready() {
  back=$dir/back mnt=$dir/mnt
  mkdir -p "$back" "$mnt"
  [[ -x $faultfs && -c /dev/fuse && $(id -u) -eq 0 ]] ||
    { skip_case "needs faultfs (libfuse3-dev), /dev/fuse and root"; return 1; }
}

# share_up OPTIONS: faultfs shows $back at $mnt ($faultfs_pid serves it);
# a failed mount fails the case. share_down unmounts and waits for the
# daemon.
share_up() {
  "$faultfs" "$back" "$mnt" -f ${1:+-o "$1"} 2>>"$dir/faultfs.log" &
  faultfs_pid=$!
  timeout 5 bash -c 'until mountpoint -q "$0"; do sleep 0.02; done' "$mnt" && return
  check "faultfs mounted with '$1'" false
  return 1
}
share_down() {
  umount "$mnt" 2>/dev/null || { sleep 0.2; umount "$mnt"; } || umount -l "$mnt"
  wait "$faultfs_pid" 2>/dev/null
}

# SRC DSTDIR STAMPED [whole-seconds]: a new source SRC (its time in whole
# seconds if asked) of which NAME.tmp holds the first 2 MiB and NAME.size
# the count, with the stamp of SRC (its size and time in ns) when STAMPED
# is "stamped".
stopped_copy() {
  local final=$2/$(basename "$1")
  make_source "$1" $((4 * 1048576 + 1000))
  [[ -z ${4:-} ]] || touch -d "@$(stat -c %Y "$1")" "$1"
  head -c $((2 * 1048576)) "$1" >"$final.tmp"
  perl -e 'print pack("q<", 2097152), @ARGV ? pack("a4q<q<", "FXS1", @ARGV) : ""' \
    $([[ $3 == stamped ]] && stat -c '%s %.9Y' "$1" | tr -d .) >"$final.size"
}
