# The program on real shares and drives set up on this machine: sshfs (the
# linked rename), Samba through smbnetfs and exFAT through FUSE (no hard
# links: the checked rename). On each: copies both ways, a taken final name
# kept, a finish after a kill at each finishing call, and (for the two
# servers) a resume after the share dropped in the middle of a copy to it
# or from it.

source "$here/../../tools/loopback-shares.sh"

# Copies into and out of the share, and a final name there that is taken.
share_copies() {  # KIND
  new_case "$1-copies"
  make_source "$dir/c.bin" $((3 * 1048576 + 11))
  mkdir -p "$share/$1"
  check "to the share" rerun_completes "$dir/c.bin" "$share/$1" 1048576
  check "from the share" rerun_completes "$share/$1/c.bin" "$dst" 1048576
  echo taken >"$share/$1/t.bin"
  cp "$dir/c.bin" "$dir/t.bin"
  run_ferrux "$dir/t.bin" "$share/$1" 1048576
  check "taken name reported" output_ends_with "${finish_report[taken]}"
  check "status" test "$status" -eq 1
  check "taken name kept" test "$(cat "$share/$1/t.bin")" = taken
  rm -rf "$share/$1"
  end_case
}

# The share drops while a copy to it or from it runs, slowed (each write
# waits 20 ms) and with its clock 200 times fast (a checkpoint every
# 50 ms): the run fails, from the share at a read that ran ahead; once the
# share is back the rerun resumes from the stored count to an identical
# copy.
share_drops_and_resumes() {  # KIND DROP RESTORE
  local way from to count
  for way in to from; do
    new_case "$1-drops-copying-$way-it"
    mkdir -p "$share/$1"
    make_source "$dir/d.bin" $((16 * 1048576))
    from=$dir/d.bin to=$share/$1
    [[ $way == from ]] && cp "$from" "$to" && from=$to/d.bin to=$dst
    fast_clock 200
    inject -e trace=write -e inject=write:delay_enter=20000
    start_ferrux "$from" "$to" 65536
    sleep 1.5
    "$2" "$work/shares"
    finish_ferrux
    check "fails" test "$status" -eq 1
    [[ $way == to ]] || check "the read reported" output_matches $'Exception EInOutError\nI/O error (64|1117)$'
    "$3" "$work/shares" >/dev/null
    count=$(stored_count "$to/d.bin.size")
    check "a count was stored" test "${count:-0}" -gt 0
    check "rerun completes" rerun_completes "$from" "$to" 65536
    check "rerun resumes" output_has "Restart from $count$nl"
    rm -rf "$share/$1"
    end_case
  done
}

# KIND|UP|DOWN|KILL-ROWS|DROP|RESTORE
real_shares=(
  "sshfs|sshfs_up|sshfs_down|linkat:1:done unlinkat:2:taken unlinkat:1:gone unlinkat:1:named:fresh fchmod:1:taken|sshfs_drop|sshfs_remount"
  "smb|smb_up|smb_down|renameat:1:done unlinkat:1:gone fchmod:1:taken|smb_server_stop|smb_server_start"
  "exfat|exfat_up|exfat_down|renameat:1:done unlinkat:1:gone fchmod:1:taken||"
)

scenario_real_shares() {
  local row kind up down rows drop restore
  for row in "${real_shares[@]}"; do
    IFS='|' read -r kind up down rows drop restore <<<"$row"
    if ! "$up" "$work/shares" >/dev/null 2>"$work/why"; then
      new_case "$kind"
      skip_case "$(<"$work/why")"
      continue
    fi
    share_copies "$kind"
    kill_in_finishing_on "$kind" "$rows" "$share"
    [[ -z $drop ]] || share_drops_and_resumes "$kind" "$drop" "$restore"
    "$down" "$work/shares"
  done
}
