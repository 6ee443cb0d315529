# The program on real shares and drives set up on this machine: sshfs (the
# linked rename), Samba through smbnetfs and exFAT through FUSE (no hard
# links: the checked rename). On each: verified copies both ways, and the
# explorer of leftover states. (A share that drops in the middle of a copy
# is the retries' scenario.)

source "$here/../../tools/loopback-shares.sh"

# Verified copies into and out of the share, each read back from where it
# was written.
share_copies() {  # KIND
  new_case "$1-verified-copies"
  make_source "$dir/c.bin" $((5 * 1048576 + 3))
  mkdir -p "$share/$1"
  local from=$dir/c.bin to
  for to in "$share/$1" "$dst"; do
    check "to $to" rerun_completes /V "$from" "$to" 1048576
    check "to $to: verified" ends_with_digest "$from" "$to/c.bin" "Verify Target File...Ok$nl"
    from=$to/c.bin
  done
  rm -rf "$share/$1"
  end_case
}

# The explorer in the way the share takes (on sshfs also the checked one).
explore_share() {  # KIND VIEW
  local explore_ways=("" "${explore_ways[2]}") skip="*-@(link|fifo)"
  [[ $1 == sshfs ]] && skip="*-fifo" || explore_ways=("")
  mkdir -p "$share/explore" && explore_on "$1" "$2/explore" "$share/explore" native "$skip" "the share makes none"
}

# KIND|UP|DOWN|EXPLORED-IN
real_shares=(
  "sshfs|sshfs_up|sshfs_down|share_back"
  "smb|smb_up|smb_down|share_back"
  "exfat|exfat_up|exfat_down|share"
)

scenario_real_shares() {
  local row kind up down view
  for row in "${real_shares[@]}"; do
    IFS='|' read -r kind up down view <<<"$row"
    if ! "$up" "$work/shares" >/dev/null 2>"$work/why"; then
      new_case "$kind"
      skip_case "$(<"$work/why")"
      continue
    fi
    share_copies "$kind"
    explore_share "$kind" "${!view}"
    "$down" "$work/shares"
  done
}
