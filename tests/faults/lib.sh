# Shared helpers of the fault scenarios (sourced by tests/faults/run).
# Each scenario is a function that sets up files in a fresh directory,
# drives the real program through one fault, and states what it expects.

faults_tried=0 outcomes_expected=0 files_compared=0 bytes_lost=0
failed_checks=()
faketime_lib=$(dpkg -L libfaketime 2>/dev/null | grep 'libfaketimeMT.so.1$' | head -n 1)
nl=$'\n'

# new_case NAME: a fresh working directory $dir with a destination $dst.
new_case() {
  case_name=$1
  dir=$work/$case_name
  rm -rf "$dir"
  mkdir -p "$dir/dst"
  dst=$dir/dst
  faults_tried=$((faults_tried + 1))
  case_ok=1
}

# make_source FILE BYTES: random contents.
make_source() {
  head -c "$2" /dev/urandom >"$1"
}

# run_ferrux ARGS...: runs the program; sets $out and $status. The next
# run only is changed by fast_clock and inject.
run_env=() run_wrap=()
run_ferrux() {
  out=$(env "${run_env[@]}" "${run_wrap[@]}" "$program" "$@" 2>&1)
  status=$?
  run_env=() run_wrap=()
}

# The next run's clock goes N times fast (a checkpoint every 10/N s).
fast_clock() {
  # File times stay real: the size file records the source's time.
  run_env=(FAKETIME="+0 x$1" NO_FAKE_STAT=1 LD_PRELOAD="$faketime_lib")
}

# The next run has the test shim preloaded with these settings (see shim.c).
shim=${FERRUX_FAULT_SHIM:-$(dirname "$program")/../tests/faults/ferrux_fault_shim.so}
with_shim() {
  run_env=(LD_PRELOAD="$shim" "$@")
}

# The next run goes under strace with these fault-injection arguments.
inject() {
  run_wrap=(strace -f -qq -o /dev/null "$@")
}

check() {  # DESCRIPTION, COMMAND...
  local what=$1
  shift
  if ! "$@"; then
    failed_checks+=("$case_name: $what")
    case_ok=0
  fi
}

# The copy at FINAL is the source SRC, byte for byte.
same_file() {
  files_compared=$((files_compared + 1))
  if ! cmp -s "$1" "$2"; then
    bytes_lost=$((bytes_lost + $(stat -c %s "$1")))
    return 1
  fi
}

output_has() { [[ $out == *"$1"* ]]; }
output_matches() { [[ $out =~ $1 ]]; }
output_ends_with() { [[ $out == *"$1" ]]; }
absent() { [[ ! -e $1 ]]; }
stored_count() { od -An -t d8 -N 8 "$1" | tr -d ' '; }

# The state a failure must leave: exit status 1, no final name, the
# temporary file present, and a stored count (if any) covering only bytes
# equal to the source.
resumable() {  # SRC FINAL
  local src=$1 final=$2
  [[ $status -eq 1 ]] || return 1
  absent "$final" || return 1
  [[ -e $final.tmp ]] || return 1
  if [[ -s $final.size ]]; then
    local count
    count=$(stored_count "$final.size")
    ((count <= $(stat -c %s "$final.tmp"))) || return 1
    cmp -s -n "$count" "$src" "$final.tmp" || return 1
  fi
}

# Rerun without faults: completes to an identical copy, nothing left over.
rerun_completes() {  # SRC DSTDIR [BLOCK]
  local src=$1 final=$2/$(basename "$1")
  run_ferrux "$@"
  [[ $status -eq 0 ]] && same_file "$src" "$final" &&
    absent "$final.tmp" && absent "$final.size"
}

end_case() {
  [[ $case_ok -eq 1 ]] && outcomes_expected=$((outcomes_expected + 1))
  [[ $case_ok -eq 1 ]] && rm -rf "$dir"
  printf '%-4s %s\n' "$([[ $case_ok -eq 1 ]] && echo ok || echo FAIL)" "$case_name"
}

# The misbehaving FUSE file system of the suite (tests/faults/faultfs.cpp).
faultfs=$(dirname "$program")/faultfs

# Says why FUSE scenarios cannot run here, if they cannot.
fuse_missing() {
  [[ -x $faultfs ]] || { echo "faultfs not built beside the program (libfuse3-dev missing?)"; return 0; }
  [[ -c /dev/fuse && $(id -u) -eq 0 ]] || { echo "no /dev/fuse or not root"; return 0; }
  return 1
}

# The case cannot run on this machine: said loudly, counted as neither.
skip_case() {
  faults_tried=$((faults_tried - 1))
  printf 'skip %s (%s)\n' "$case_name" "$1"
  rm -rf "$dir"
}

# mount_faultfs BACKING MOUNTPOINT [OPTIONS]: one mount at a time, served
# by $faultfs_pid; its counters are appended to $dir/faultfs.log.
mount_faultfs() {
  mkdir -p "$1" "$2"
  "$faultfs" "$1" "$2" -f ${3:+-o "$3"} 2>>"$dir/faultfs.log" &
  faultfs_pid=$!
  local i
  for ((i = 0; i < 250; i++)); do
    mountpoint -q "$2" && return 0
    kill -0 "$faultfs_pid" 2>/dev/null || return 1
    sleep 0.02
  done
  return 1
}

# Unmounts and waits for the daemon: on a volatile mount, the power cut.
unmount_faultfs() {
  umount "$1" 2>/dev/null || { sleep 0.2; umount "$1"; } || umount -l "$1"
  wait "$faultfs_pid" 2>/dev/null
}

# Begins a FUSE case: false (and the case skipped) where FUSE cannot run.
# Sets $back (the backing folder) and $mnt (its mount point).
fuse_case() {
  new_case "$1"
  local why
  if why=$(fuse_missing); then
    skip_case "$why"
    return 1
  fi
  back=$dir/back mnt=$dir/mnt
  mkdir -p "$back" "$mnt"
}

# Mounts $back at $mnt with OPTIONS; a failed mount fails the case.
share_up() {
  mount_faultfs "$back" "$mnt" "$1" || {
    check "faultfs mounted with '$1'" false
    return 1
  }
}

# start_ferrux ARGS...: run_ferrux in the background ($run_pid is the
# program, or strace running it; output in $dir/run.out); finish_ferrux
# waits for it and sets $out and $status.
start_ferrux() {
  env "${run_env[@]}" "${run_wrap[@]}" "$program" "$@" >"$dir/run.out" 2>&1 &
  run_pid=$!
  run_env=() run_wrap=()
}
finish_ferrux() {
  wait "$run_pid" 2>/dev/null
  status=$?
  out=$(<"$dir/run.out")
}
