# Retries inside one run (/R:n /W:s) on the real shares: a share that drops
# and comes back is waited out by the run itself, which resumes from its
# stored count and only where the copy was; what waiting cannot cure is not
# retried; a thousand tries hold no more than one. Real time throughout (a
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

sshfs_unmount() { sshfs_drop "$1" && umount -l "$share"; }
count_above_0() { local count; count=$(stored_count "$1" 2>/dev/null); ((${count:-0} > 0)); }

# The output of one run that a drop interrupted: every failure report is
# followed by a retry line; one "Restart from N", N at least the last row
# before the first report. Says what is wrong.
retried_and_resumed() {  # MAX-RETRY-LINES [ANY-RESTART]
  local reports retries restarts row restart
  reports=$(grep -c 'Exception ' <<<"$out")
  retries=$(grep -cE '^Retry [0-9]+ of 5 in 1 s$' <<<"$out")
  restarts=$(grep -c '^Restart from ' <<<"$out")
  row=$(sed -n '/Exception /q; s/^ *\([0-9]\+\) .*/\1/p' <<<"$out" | tail -n 1)
  restart=$(sed -n 's/^Restart from //p' <<<"$out")
  ((reports >= 1 && reports == retries && retries <= $1)) ||
    { echo "$reports reports, $retries retry lines"; return 1; }
  [[ -n ${2:-} ]] || ((restarts == 1 && restart >= ${row:-1})) ||
    { echo "restart from '$restart' after row $row"; return 1; }
}

# One run with /R:5 /W:1 to or from the share, which drops after the first
# checkpoint and is back some seconds later: the run completes on its own.
# Unmounted (sshfs_unmount), the share leaves its mount point a bare local
# folder: nothing is written there, and the copy resumes on the share.
# With "wine" the Windows build runs, on Z: names; Wine's writes go through
# the cache and its preallocation on sshfs takes long, so the share drops
# 8 s in, maybe before a count was stored.
retry_after_drop() {  # KIND DROP RESTORE WAY [wine]
  local from to stored exe=${5:-}
  new_case "$1-retry-${5:+wine-}${2#"$1"_}-copying-$4-it"
  if [[ -n $exe ]]; then
    exe=$(realpath -m "$(dirname "$program")/../../mingw/bin/ferrux.exe")
    [[ -x $exe ]] && command -v wine >/dev/null || { skip_case "no Windows build or wine"; return; }
  fi
  mkdir -p "$share/$1"
  make_source "$dir/d.bin" $((48 * 1048576))
  from=$dir/d.bin to=$share/$1 stored=$share_back/$1/d.bin.size
  [[ $4 == from ]] && cp "$from" "$to" && from=$to/d.bin to=$dst stored=$dst/d.bin.size
  if [[ -n $exe ]]; then
    WINEDEBUG=-all timeout 180 wine "$exe" /R:5 /W:1 "Z:${from//\//\\}" "Z:${to//\//\\}" 262144 \
      >"$dir/run.out" 2>&1 &
    run_pid=$!
    sleep 8
  else
    slow_writes 180
    start_ferrux /R:5 /W:1 "$from" "$to" 262144
    check "a count was stored" _lb_until 30 count_above_0 "$stored"
  fi
  "$2" "$work/shares"
  sleep 3
  [[ $2 != *unmount ]] || check "nothing in the bare folder" test -z "$(ls -A "$share")"
  "$3" "$work/shares" >/dev/null
  finish_ferrux
  out=${out//$'\r'/}
  check "completes identical" completed "$from" "$to/d.bin"
  check "retried and resumed" retried_and_resumed 5 "$exe"
  [[ $2 != *unmount ]] || check "the bare folder seen" output_has "Target Folder not on its first file system"
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
retry_not_for_lasting_failures() {
  new_case retry-not-for-lasting-failures
  stopped_copy "$dir/n.bin" "$dst" stamped && touch -d '+1 hour' "$dir/n.bin"
  run_ferrux /R:5 /W:0 "$dir/n.bin" "$dst" 65536
  check "changed source" output_ends_with "Source File changed, delete .tmp and .size files to start over"
  check "not retried" test "$status" -eq 1 -a "$(grep -c '^Retry ' <<<"$out")" -eq 0
  rm -f "$dst"/n.bin* && echo taken >"$dst/n.bin"
  run_ferrux /R:5 /W:0 "$dir/n.bin" "$dst" 65536
  check "taken final name" output_ends_with "Temporary Target File not renamed, see file with .tmp extension"
  check "not retried" test "$status" -eq 1 -a "$(grep -c '^Retry ' <<<"$out")" -eq 0
  check "taken name kept" test "$(<"$dst/n.bin")" = taken
  end_case
}

scenario_retry() {
  local way
  retry_not_for_lasting_failures
  if sshfs_up "$work/shares" 100 >/dev/null 2>"$work/why"; then
    for way in to from; do retry_after_drop sshfs sshfs_drop sshfs_remount "$way"; done
    retry_after_drop sshfs sshfs_drop sshfs_remount to wine
    retry_after_drop sshfs sshfs_unmount sshfs_remount to
    retry_thousand_times
    sshfs_down "$work/shares"
  else
    new_case sshfs-retry
    skip_case "$(<"$work/why")"
  fi
  if smb_up "$work/shares" >/dev/null 2>"$work/why"; then
    for way in to from; do retry_after_drop smb smb_server_stop smb_server_start "$way"; done
    smb_down "$work/shares"
  else
    new_case smb-retry
    skip_case "$(<"$work/why")"
  fi
}
