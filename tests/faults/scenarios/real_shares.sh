# The program on real shares and drives set up on this machine: sshfs (the
# linked rename), Samba through smbnetfs and exFAT through FUSE (no hard
# links: the checked rename). On each: copies both ways, the explorer of
# leftover states, and (for the two servers) a
# resume after the share dropped in the middle of a copy to it or from it.

source "$here/../../tools/loopback-shares.sh"

# Copies into and out of the share.
share_copies() {  # KIND
  new_case "$1-copies"
  make_source "$dir/c.bin" $((3 * 1048576 + 11))
  mkdir -p "$share/$1"
  check "to the share" rerun_completes "$dir/c.bin" "$share/$1" 1048576
  check "from the share" rerun_completes "$share/$1/c.bin" "$dst" 1048576
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

# The explorer in the way the share takes (on sshfs also the checked one).
explore_share() {  # KIND VIEW
  local explore_ways=("" "${explore_ways[2]}") skip="*-@(link|fifo)"
  [[ $1 == sshfs ]] && skip="*-fifo" || explore_ways=("")
  mkdir -p "$share/explore" && explore_on "$1" "$2/explore" "$share/explore" native "$skip" "the share makes none"
}

# KIND|UP|DOWN|EXPLORED-IN|DROP|RESTORE
real_shares=(
  "sshfs|sshfs_up|sshfs_down|share_back|sshfs_drop|sshfs_remount"
  "smb|smb_up|smb_down|share_back|smb_server_stop|smb_server_start"
  "exfat|exfat_up|exfat_down|share||"
)

scenario_real_shares() {
  local row kind up down view drop restore
  for row in "${real_shares[@]}"; do
    IFS='|' read -r kind up down view drop restore <<<"$row"
    if ! "$up" "$work/shares" >/dev/null 2>"$work/why"; then
      new_case "$kind"
      skip_case "$(<"$work/why")"
      continue
    fi
    share_copies "$kind"
    [[ -z $view ]] || explore_share "$kind" "${!view}"
    [[ -z $drop ]] || share_drops_and_resumes "$kind" "$drop" "$restore"
    "$down" "$work/shares"
  done
}
