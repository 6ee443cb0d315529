#!/usr/bin/env bash
# Real network and removable file systems on this machine (127.0.0.1), each
# wholly inside a folder the caller gives: keys, configs, pid files, logs,
# the server's export folder and the mount point. Linux, root, /dev/fuse.
# Source it and call the functions, or run `tools/loopback-shares.sh
# FUNCTION DIR [ARG]`, which prints the variables set as NAME=VALUE lines.
#
#   sshfs_up DIR [RTT_MS]   sshd + sshfs; with RTT_MS through delay-proxy
#                           ($DELAY_PROXY, default the release build's)
#   sshfs_drop DIR          kills sshfs: the mount answers ENOTCONN
#   sshfs_remount DIR       mounts again (after a drop, or to start cold)
#   smb_up DIR              smbd on 127.0.0.1:445, a guest share by smbnetfs
#   smb_server_stop DIR, smb_server_start DIR   while the mount stays
#   exfat_up DIR [MIB]      exfat-fuse on a sparse image (default 256 MiB)
#   sshfs_down DIR, smb_down DIR, exfat_down DIR
#
# *_up sets $share (the mounted folder) and, for servers, $share_back (that
# folder as the server sees it) and $share_counts (the proxy's "EXCHANGES
# WAITS"); or says in one line on stderr why it cannot, and returns 1.
# sshfs caches names for a while: delete through $share.
#
# Measured with the calls a copy relies on (Linux 6.18, Debian 12):
#                      ext4      sshfs            smbnetfs       exfat-fuse
#   open(O_DIRECT)     ok        ok, any alignment; never reaches a server
#   F_SETFL O_DIRECT   ok        ok               ok             ok
#   flock              ok        local: a server-side lock is not seen  ok
#   fallocate          ok        EOPNOTSUPP       EOPNOTSUPP     EOPNOTSUPP
#   RENAME_NOREPLACE   ok        EEXIST if the name exists, else EINVAL
#   link               ok        ok               EPERM          EPERM
#   linked names       nlink 2,  nlink 1, two     -              -
#                      one inode inode numbers
#   rename over a file replaces  replaces         replaces       replaces
#   fsync(file)        ok        ok, server fsync ok, no server fsync  ok
#   fsync(directory)   ok        ok (no-op)       ok (no-op)     ok
#   created 0600       0600      0600             0744           0777
# A dropped sshfs fails every call, open files too, with ENOTCONN. A stopped
# smbd fails calls with EIO after 2 s; started again, open files read and
# write on (smbnetfs reopens them by name).

loopback_proxy=${DELAY_PROXY:-$(realpath -m "${BASH_SOURCE[0]}/../../build/release/bin/delay-proxy")}

_lb_fail() { echo "loopback-shares: $*" >&2; return 1; }
_lb_can() {  # DIR COMMAND...
  [[ -n $1 && $(id -u) -eq 0 ]] || { _lb_fail "needs root and a folder"; return; }
  [[ -c /dev/fuse ]] || { _lb_fail "no /dev/fuse"; return; }
  local command
  for command in "${@:2}"; do
    command -v "$command" >/dev/null || { _lb_fail "no $command (tools/install-deps --test)"; return; }
  done
}
_lb_until() {  # SECONDS COMMAND...: polls every 50 ms, false at the deadline
  local end=$((${EPOCHREALTIME/./} + $1 * 1000000))
  until "${@:2}" 2>/dev/null; do
    ((${EPOCHREALTIME/./} < end)) || return 1
    sleep 0.05
  done
}
_lb_listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
_lb_free_port() {
  local port i
  for ((i = 0; i < 100; i++)); do
    port=$((20000 + RANDOM % 40000))
    _lb_listening "$port" || { echo "$port"; return 0; }
  done
  _lb_fail "no free port"
}
_lb_spawn() {  # PIDFILE LOG COMMAND...: in the background, no job report
  "${@:3}" </dev/null >"$2" 2>&1 &
  echo $! >"$1" && disown $!
}
_lb_gone() { [[ ! -e /proc/$1 || $(ps -o stat= -p "$1") == Z* ]]; }
# PIDFILE [SIGNAL [-]]: ends that process (with -, its group), if its
# command line names the pid file's folder: a stale pid may be another's.
_lb_kill() {
  local pid
  pid=$(cat "$1" 2>/dev/null) || return 0
  if tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline" | grep -qF "$(realpath -m "${1%/*}")/"; then
    kill "-${2:-TERM}" -- "${3:-}$pid" 2>/dev/null
    _lb_until 5 _lb_gone "$pid"
  fi
  rm -f "$1"
}
_lb_unmount() {  # also a mount whose server is gone (ENOTCONN)
  awk -v p="$(realpath -m "$1")" '$2 == p {f = 1} END {exit !f}' /proc/mounts || return 0
  umount "$1" 2>/dev/null || umount -l "$1"
}

sshfs_up() {
  _lb_can "$1" sshd sshfs ssh-keygen || return
  [[ -z ${2:-} || -x $loopback_proxy ]] || { _lb_fail "no $loopback_proxy (build the release preset)"; return; }
  sshfs_down "$1"  # what an interrupted run left
  _lb_sshfs_start "$@" && sshfs_remount "$1" || { sshfs_down "$1"; return 1; }
}
_lb_sshfs_start() {
  local d port
  d=$(realpath -m "$1/sshfs")
  mkdir -p "$d/export" "$d/mnt" && rm -f "$d"/*key* && port=$(_lb_free_port) &&
    ssh-keygen -q -t ed25519 -N '' -f "$d/host_key" &&
    ssh-keygen -q -t ed25519 -N '' -f "$d/client_key" || return
  printf '%s\n' "ListenAddress 127.0.0.1:$port" "HostKey $d/host_key" \
    "AuthorizedKeysFile $d/client_key.pub" "PidFile $d/sshd.pid" \
    'PermitRootLogin prohibit-password' 'PasswordAuthentication no' \
    'UsePAM no' 'StrictModes no' 'Subsystem sftp internal-sftp' >"$d/sshd_config"
  # sshd insists on its privilege separation folder.
  [[ -d /run/sshd ]] || { mkdir /run/sshd && touch "$d/made-run-sshd"; }
  "$(command -v sshd)" -f "$d/sshd_config" -E "$d/sshd.log" &&
    _lb_until 10 test -s "$d/sshd.pid" || { _lb_fail "sshd did not start (see $d/sshd.log)"; return; }
  if [[ -n ${2:-} ]]; then
    local server=$port
    port=$(_lb_free_port) || return
    _lb_spawn "$d/proxy.pid" "$d/proxy.log" "$loopback_proxy" "$port" "$server" "$2" "$d/counts"
    _lb_until 10 _lb_listening "$port" || { _lb_fail "delay-proxy did not start"; return; }
    share_counts=$d/counts
  fi
  echo "$port" >"$d/port"
}

sshfs_remount() {
  local d
  d=$(realpath -m "$1/sshfs")
  _lb_unmount "$d/mnt"
  _lb_kill "$d/sshfs.pid"
  _lb_spawn "$d/sshfs.pid" "$d/sshfs.log" sshfs -f -F /dev/null \
    -o "port=$(cat "$d/port"),IdentityFile=$d/client_key,IdentitiesOnly=yes" \
    -o BatchMode=yes,StrictHostKeyChecking=no,UserKnownHostsFile=/dev/null \
    "root@127.0.0.1:$d/export" "$d/mnt"
  _lb_until 10 mountpoint -q "$d/mnt" || { _lb_fail "sshfs did not mount (see $d/sshfs.log)"; return; }
  share=$d/mnt share_back=$d/export
}

sshfs_drop() { _lb_kill "$1/sshfs/sshfs.pid" KILL; }

sshfs_down() {
  _lb_unmount "$1/sshfs/mnt"
  _lb_kill "$1/sshfs/sshfs.pid"
  _lb_kill "$1/sshfs/proxy.pid"
  _lb_kill "$1/sshfs/sshd.pid"
  [[ ! -e $1/sshfs/made-run-sshd ]] || { rmdir /run/sshd; rm "$1/sshfs/made-run-sshd"; }
}

# Guests write as root (force user), so the export needs no owner.
smb_up() {
  local d
  d=$(realpath -m "$1/smb")
  _lb_can "$1" smbd smbnetfs || return
  smb_down "$1"
  ! _lb_listening 445 || { _lb_fail "127.0.0.1:445 is taken (another smbd?)"; return; }
  mkdir -p "$d"/{export,mnt,home/.smb,lock,state,cache,private} || return
  printf '%s\n' '[global]' "pid directory = $d" "lock directory = $d/lock" \
    "state directory = $d/state" "cache directory = $d/cache" \
    "private dir = $d/private" "ncalrpc dir = $d/ncalrpc" \
    'interfaces = 127.0.0.1' 'bind interfaces only = yes' 'smb ports = 445' \
    'disable netbios = yes' 'rpc start on demand helpers = no' \
    'load printers = no' 'map to guest = Bad User' \
    '[share]' "path = $d/export" 'guest ok = yes' 'read only = no' \
    'force user = root' >"$d/smb.conf"
  # Read from $HOME/.smb; the auth line only from a file others cannot read.
  # (neg_cache false hangs smbnetfs 0.6.3: a short negative cache instead.)
  printf '%s\n' 'auth "guest" ""' 'smb_query_browsers false' \
    'use_libsecret false' 'neg_cache_timeout 100' >"$d/home/.smb/smbnetfs.conf"
  chmod 600 "$d/home/.smb/smbnetfs.conf"
  smb_server_start "$1" || { smb_down "$1"; return 1; }
  HOME=$d/home _lb_spawn "$d/smbnetfs.pid" "$d/smbnetfs.log" smbnetfs -f "$d/mnt"
  _lb_until 10 test -d "$d/mnt/127.0.0.1/share" || {
    _lb_fail "smbnetfs did not show the share (see $d/smbnetfs.log)"
    smb_down "$1"
    return 1
  }
  share=$d/mnt/127.0.0.1/share share_back=$d/export
}

# smbd daemonizes into its own process group: stopped as one.
smb_server_start() {
  local d
  d=$(realpath -m "$1/smb")
  smbd -D -l "$d" -s "$d/smb.conf" && _lb_until 10 _lb_listening 445 &&
    _lb_until 5 test -s "$d/smbd.pid" || _lb_fail "smbd did not start (see $d/log.smbd)"
}
smb_server_stop() {
  _lb_kill "$1/smb/smbd.pid" KILL -
  _lb_until 5 eval '! _lb_listening 445'
}

smb_down() {
  _lb_unmount "$1/smb/mnt"
  _lb_kill "$1/smb/smbnetfs.pid"
  smb_server_stop "$1"
}

# As root, exfat-fuse wants a block device: a loop device, which the kernel
# releases at the unmount (losetup -d of a device in use).
exfat_up() {
  local d loop status
  d=$(realpath -m "$1/exfat")
  _lb_can "$1" mkfs.exfat mount.exfat-fuse losetup || return
  exfat_down "$1"
  mkdir -p "$d/mnt" && rm -f "$d/image" && truncate -s "${2:-256}M" "$d/image" &&
    mkfs.exfat "$d/image" >"$d/mkfs.log" || { _lb_fail "mkfs.exfat failed"; return; }
  loop=$(losetup --find --show "$d/image") || { _lb_fail "no loop device"; return; }
  timeout 10 mount.exfat-fuse "$loop" "$d/mnt" >"$d/mount.log" 2>&1
  status=$?
  losetup -d "$loop"
  [[ $status -eq 0 ]] || { _lb_fail "exfat-fuse did not mount (see $d/mount.log)"; return 1; }
  share=$d/mnt
}
exfat_down() { _lb_unmount "$1/exfat/mnt"; }

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
  "$@" || exit
  for name in share share_back share_counts; do
    [[ -z ${!name:-} ]] || echo "$name=${!name}"
  done
fi
