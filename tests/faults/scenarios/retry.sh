# Retries inside one run (/R:n /W:s) on the real shares: a source share
# that drops and comes back is waited out by the run itself, which resumes
# from its stored count; a thousand tries hold no more than one. Real time throughout (a
# fast clock would shorten the waits too): the share is behind the delay
# proxy, and each write of the program waits 60 ms (sshfs answers writes at
# once), so that a copy lasts past its first checkpoint.

source "$here/../../tools/loopback-shares.sh"

# The next run under a time limit of $1 s, each write waiting 60 ms; with
# "sampled", the first and the thousandth wait last 2 s.
slow_writes() {
  local args=(-e trace=write,pwrite64 -e inject=write,pwrite64:delay_enter=60000)
  [[ -z ${2:-} ]] || args=(-e trace=write,pwrite64,clock_nanosleep -e inject=write,pwrite64:delay_enter=60000
    -e inject=clock_nanosleep:delay_enter=2000000:when=1+999)
  inject --seccomp-bpf "${args[@]}"
  run_wrap=(timeout "$1" "${run_wrap[@]}")
}

count_above_0() { local count; count=$(stored_count "$1" 2>/dev/null); ((${count:-0} > 0)); }

# The output of one run that a drop interrupted: every failure report is
# followed by a retry line; one "Restart from N", N at least the last row
# before the first report. Says what is wrong.
retried_and_resumed() {  # MAX-RETRY-LINES
  local reports retries restarts row restart
  reports=$(grep -c 'Exception ' <<<"$out")
  retries=$(grep -cE '^Retry [0-9]+ of 5 in 1 s$' <<<"$out")
  restarts=$(grep -c '^Restart from ' <<<"$out")
  row=$(sed -n '/Exception /q; s/^ *\([0-9]\+\) .*/\1/p' <<<"$out" | tail -n 1)
  restart=$(sed -n 's/^Restart from //p' <<<"$out")
  ((reports >= 1 && reports == retries && retries <= $1)) ||
    { echo "$reports reports, $retries retry lines"; return 1; }
  ((restarts == 1 && restart >= ${row:-1})) ||
    { echo "restart from '$restart' after row $row"; return 1; }
}

# One run with /R:5 /W:1 from the share, which drops after the first
# checkpoint and is back some seconds later: the run completes on its own,
# every report followed by a retry line and one "Restart from" no earlier
# than the last row shown. (Copies onto a share that drops, is unmounted
# or comes back are the campaign's.)
retry_after_drop() {  # KIND DROP RESTORE
  new_case "$1-retry-${2#"$1"_}-copying-from-it"
  mkdir -p "$share/$1"
  make_source "$share/$1/d.bin" $((48 * 1048576))
  slow_writes 180
  start_ferrux /R:5 /W:1 "$share/$1/d.bin" "$dst" 262144
  check "a count was stored" _lb_until 30 count_above_0 "$dst/d.bin.size"
  "$2" "$work/shares"
  sleep 3
  "$3" "$work/shares" >/dev/null
  finish_ferrux
  check "completes identical" completed "$share/$1/d.bin" "$dst/d.bin"
  check "retried and resumed" retried_and_resumed 5
  rm -rf "$share/$1"
  end_case
}

# A thousand tries against a share that never comes back (/W:0): the
# first try copies (writer thread, buffers, files, the folder held) until
# sshfs is killed; every later one finds the share gone. The first and the
# thousandth wait are stretched to 2 s, in which the process is sampled
# (locked kB, resident kB, threads, files of the run open): nothing locked,
# one thread, no file open, the same resident memory within 256 KiB (the
# heap's pages come and go).
retry_thousand_times() {
  new_case sshfs-retry-thousand-times
  make_source "$dir/t.bin" $((48 * 1048576))
  slow_writes 300 sampled
  start_ferrux /R:1000 /W:0 "$dir/t.bin" "$share" 262144
  sleep 3
  sshfs_drop "$work/shares"
  local n pid lck rss threads files first_rss
  for n in 1 1000; do
    _lb_until 60 grep -qx "Retry $n of 1000 in 0 s" "$dir/run.out"
    pid=$(pgrep -xn ferrux)
    read -r lck rss threads files < <(awk '/^(VmLck|VmRSS|Threads):/ {printf "%s ", $2}' "/proc/$pid/status"
      find "/proc/$pid/fd" -lname "$work/*" ! -lname '*/run.out' | wc -l)
    check "after try $n: $lck kB locked, $threads threads, $files files" test "$lck $threads $files" = "0 1 0"
    check "resident $rss kB, first ${first_rss:=$rss}" test $((rss - first_rss)) -le 256
  done
  finish_ferrux
  check "fails after the last try" test "$status" -eq 1
  check "a thousand retries" test "$(grep -c '^Retry ' <<<"$out")" -eq 1000
  check "the last report last" output_ends_with $'Exception EInOutError\nI/O error 64'
  sshfs_remount "$work/shares" >/dev/null
  rm -f "$share"/t.bin*
  end_case
}

# What waiting cannot cure ends the run at once, retries or not: a changed
# source (the unit tests hold which other reports a retry may cure), and a
# taken final name, which fails without a report.
scenario_retry() {
  local way
  if sshfs_up "$work/shares" 100 >/dev/null 2>"$work/why"; then
    retry_after_drop sshfs sshfs_drop sshfs_remount
    retry_thousand_times
    sshfs_down "$work/shares"
  else
    new_case sshfs-retry
    skip_case "$(<"$work/why")"
  fi
  if smb_up "$work/shares" >/dev/null 2>"$work/why"; then
    retry_after_drop smb smb_server_stop smb_server_start
    smb_down "$work/shares"
  else
    new_case smb-retry
    skip_case "$(<"$work/why")"
  fi
}
