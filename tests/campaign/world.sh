# The campaign's world as shell functions: what its rules do, so that a
# failure prints as commands anyone can paste (as root, from the top of a
# tree with the release build; F= and EXE= choose other builds).
#
#   world FS [wine]   a new folder $W (the current one): the source s/f.bin,
#                     the destination $D on FS (local, sshfs, smb, exfat,
#                     faultfs, faultfs-link and faultfs-replacing, whose
#                     names are given as sshfs's and as SMB's); the program
#                     $F, or the Windows build $EXE
#   run TAG [OPTION...] -- ARGUMENT...   one run, time-limited (limit=S),
#       its output in out.TAG: xN (a clock N times fast), kill=CALL:K (a
#       KILL at the K-th CALL on the copy's or the source's names),
#       fail=CALL:ERROR:K (that call fails once), shim=READ|WRITE:N:HOW,
#       after=S (stopped after S seconds), slow=S (the writes spread over
#       some S seconds, so that what happens meanwhile meets the copy)
#   world_end         cleans up (and takes down shares it brought up)
top=$(realpath -m "${BASH_SOURCE[0]}/../../..")
source "$top/tools/loopback-shares.sh"
F=${F:-$top/build/release/bin/ferrux} EXE=${EXE:-$top/build/mingw/bin/ferrux.exe}
FAULTFS=$top/build/release/bin/faultfs SHIM=$top/build/release/tests/faults/libferrux_fault_shim.so
FAKETIME_LIB=$(dpkg -L libfaketime 2>/dev/null | grep -m1 'libfaketimeMT.so.1$')
export WINEDEBUG=-all
declare -A errnos=([EIO]=5 [ENOSPC]=28 [ENOTCONN]=107 [EINTR]=4)

world() {  # FS [wine]
  W=$(mktemp -d "${CAMPAIGN_WORK:-/tmp}/world.XXXXXX") FS=$1 WINE=${2:-} WAY=
  [[ $FS != faultfs-* ]] || WAY=,${FS#faultfs-} FS=faultfs
  WAY=${WAY/link/link_way} && WAY=${WAY/replacing/replacing_rename}
  cd "$W" && mkdir s && touch t && shares=${CAMPAIGN_SHARES:-$W/shares} && mkdir -p "$shares"
  # B: the destination as the server (or faultfs's backing folder) has it
  MP=$shares/$FS/mnt D=$shares/$FS/mnt B=$shares/$FS/export
  case $FS in
    local) D=$W/d B=$W/d MP= && mkdir d ;;
    faultfs) mkdir back && MP=$W/mnt D=$W/mnt B=$W/back && faultfs_up ;;
    smb) D=$MP/127.0.0.1/share ;;
  esac
  [[ $FS == faultfs || $FS == local ]] || share_alive || { _lb_unmount "$MP"; rm -rf "${MP:?}"/*; "${FS}_up" "$shares" >/dev/null; } || return
  # (exfat-fuse killed mid-write leaks clusters: a volume short of room is made anew)
  [[ $FS != exfat ]] || (($(df --output=avail -k "$D" | tail -1) > 131072)) || { exfat_down "$shares"; exfat_up "$shares" >/dev/null; } || return
  P=(-P "$D" -P "$W/s/f.bin" -P s/f.bin)  # the names strace counts calls on
  for n in f.bin f.bin.tmp f.bin.size; do P+=(-P "$D/$n" -P "$n"); done
  if [[ -n $WINE ]]; then
    [[ -x $EXE ]] && command -v wine >/dev/null || { echo "no $EXE or no wine"; return 1; }
    F="wine $EXE" S='s\f.bin' T=Z:${D//\//\\}
  else S=s/f.bin T=$D; fi
}
share_alive() { timeout 10 stat "$D/." >/dev/null 2>&1 && mountpoint -q "$MP"; }

faultfs_up() {  # the changes from here on are recorded, for a power cut
  rm -rf snap && cp -a back snap && mkdir -p mnt
  "$FAULTFS" back mnt -f -o "journal=$W/j$WAY" 2>>faultfs.log & echo $! >faultfs.pid && disown
  _lb_until 5 mountpoint -q mnt
}
cut_power() {  # ordered|any PICK: the state PICK (modulo their number) a cut leaves
  local n
  _lb_unmount mnt && _lb_until 5 _lb_gone "$(<faultfs.pid)"
  read -r _ _ n < <("$FAULTFS" cuts j snap "$1" list) && rm -rf back && mkdir back &&
    "$FAULTFS" cut j snap list $(($2 % n)) back && faultfs_up
}

drop() {  # the share's process is killed (a server stopped, for SMB)
  case $FS in
    sshfs) sshfs_drop "$shares" ;;
    smb) smb_server_stop "$shares" ;;
    *) kill -KILL "$(fuse_pid)" ;;
  esac
}
fuse_pid() {  # the FUSE process serving $MP
  local p
  [[ $FS == faultfs ]] && { cat faultfs.pid; return; }
  for p in $(pgrep -x mount.exfat-fus); do
    tr '\0' ' ' <"/proc/$p/cmdline" | grep -q " $MP" && echo "$p"
  done
}
unmount() { umount -l "$MP"; }
mount_again() {  # (a bare mount point is emptied first, saying what it held)
  mountpoint -q "$MP" || [[ -z $(ls -A "$MP") ]] || { echo "bare $MP held: $(ls -A "$MP")"; rm -rf "${MP:?}"/*; }
  case $FS in
    sshfs) sshfs_remount "$shares" >/dev/null ;;
    smb)
      _lb_listening 445 || smb_server_start "$shares"
      mountpoint -q "$MP" && ! _lb_gone "$(cat "$shares/smb/smbnetfs.pid")" && return
      _lb_unmount "$MP"
      HOME=$shares/smb/home _lb_spawn "$shares/smb/smbnetfs.pid" /dev/null smbnetfs -f "$MP"
      _lb_until 10 test -d "$D" ;;
    exfat)
      local loop
      _lb_unmount "$MP" && loop=$(losetup --find --show "$shares/exfat/image") &&
        timeout 10 mount.exfat-fuse "$loop" "$MP" >/dev/null 2>&1
      losetup -d "$loop" ;;
    faultfs) _lb_unmount "$MP"; faultfs_up ;;
  esac
}

# The source edited in place at OFFSET ("keep": its time put back); noted
# in "changes" with whether the copy had its final name by then.
edit() {  # OFFSET [keep]
  touch -r s/f.bin t && printf XXXX | dd of=s/f.bin bs=1 seek="$1" conv=notrunc status=none
  [[ -z ${2:-} ]] || touch -r t s/f.bin
  noted
}
append() { head -c 1000 /dev/urandom >>s/f.bin && noted; }
noted() { [[ -e $D/f.bin ]] && echo named >>changes || echo unnamed >>changes; }

# Flips every bit of the byte at OFFSET of FILE; "keep" puts its time back.
flip() {  # FILE OFFSET [keep]
  touch -r "$1" t
  perl -e 'open(F, "+<", $ARGV[0]) && seek(F, $ARGV[1], 0) && read(F, $b, 1) && seek(F, $ARGV[1], 0) && print F ~$b' "$1" "$2"
  [[ -z ${3:-} ]] || touch -r t "$1"
}

# What may stand at a name: a file of its own, a copy of the source
# (at NAME.size: a size file stamped with the source, marked complete),
# a symbolic or hard link to a victim, a FIFO, a folder. The victim starts
# with zeros, as a disk image does: read as a size file, a count of 0.
plant() {  # NAME KIND
  local victim=$W/victim && [[ $FS == local ]] || victim=$D/victim
  [[ -e $victim ]] || { head -c 4096 /dev/zero; head -c 95904 /dev/urandom; } >"$victim"
  case $2 in
    file) head -c 3000 /dev/urandom >"$D/$1" ;;
    copy) if [[ $1 == *.size ]]; then
            perl -e 'print pack("q<a4q<q<", $ARGV[0], "FXS1", @ARGV)' \
              $(stat -c '%s %s %.9Y' s/f.bin | tr -d .) >"$D/$1"
          else cp -p s/f.bin "$D/$1"; fi ;;
    symlink) ln -s "$victim" "$D/$1" ;;
    hardlink) ln "$victim" "$D/$1" ;;
    fifo) mkfifo "$D/$1" ;;
    folder) mkdir "$D/$1" ;;
  esac
  [[ $FS != faultfs ]] || sync "$victim" "$D/$1" "$D"  # (what the world made survives a cut)
}

run() {  # TAG [OPTION...] -- ARGUMENT...
  local tag=$1 env=() pre=() trace=() after= limit=120 c k e
  shift
  while [[ $1 != -- ]]; do
    case $1 in
      x*) env+=(FAKETIME="+0 $1" NO_FAKE_STAT=1) pre+=("$FAKETIME_LIB") ;;
      kill=*) IFS=: read -r c k <<<"${1#*=}" && trace+=(-e "inject=$c:signal=KILL:when=$k") ;;
      # strace counts a call per thread: the data's writes (the writer
      # thread's) and reads fail once by the shim's count instead.
      fail=*) IFS=: read -r c e k <<<"${1#*=}"
        [[ $c != pwrite64 ]] || c=write  # (the shim counts positional writes as writes)
        if [[ $c == read || $c == write ]]; then env+=("FERRUX_SHIM_${c^^}=$k:${errnos[$e]}") pre+=("$SHIM")
        else trace+=(-e "inject=$c:error=$e:when=$k"); fi ;;
      shim=*) IFS=: read -r c k e <<<"${1#*=}" && env+=("FERRUX_SHIM_$c=$k:$e") pre+=("$SHIM") ;;
      after=*) after=${1#*=} ;;
      limit=*) limit=${1#*=} ;;
      slow=*) trace+=(-e "inject=write,pwrite64:delay_enter=${1#*=}") ;;
    esac
    shift
  done
  shift
  ((${#pre[@]} == 0)) || env+=("LD_PRELOAD=$(IFS=:; echo "${pre[*]}")")
  local wrap=(env "${env[@]}")
  ((${#trace[@]} == 0)) || wrap=(strace -f -e quiet=all -o /dev/null "${P[@]}" "${trace[@]}" "${env[@]/#/-E}")
  # Its output through a pipe, which the shim leaves alone (Wine's: to a
  # file, as Wine's helper processes keep a pipe open after the run).
  local status
  if [[ -n $WINE ]]; then
    go "$@" >"out.$tag"
    status=$?
  else
    go "$@" | cat >"out.$tag"
    status=${PIPESTATUS[0]}
  fi
  echo "$status $(date +%s.%N) $([[ -e $D/f.bin ]] && echo named)" >"st.$tag"
}
# Without the override of file modes that root has, so that a mode 000
# source is unreadable; stopped after $after seconds: the program first
# (strace lets a tracee live on), then what runs it.
go() {
  timeout -k 5 "$limit" setpriv --bounding-set=-dac_override,-dac_read_search \
    "${wrap[@]}" $F "$@" 2>&1 &
  local pid=$! killer=
  [[ -z $after ]] || { (sleep "$after" && kill -KILL $(below $pid) 2>/dev/null) & killer=$!; }
  wait $pid
  local status=$?
  [[ -z $killer ]] || kill $killer 2>/dev/null
  return $status
}
below() { local c; for c in $(cat /proc/"$1"/task/*/children 2>/dev/null); do below "$c"; echo "$c"; done; }

# The campaign's end: its shares down, whatever of it is still mounted unmounted.
campaign_end() {  # DIR
  sshfs_down "$1/shares"; smb_down "$1/shares"; exfat_down "$1/shares"
  awk -v top="$(realpath -m "$1")" 'index($2, top) == 1 {print $2}' /proc/mounts | sort -r | xargs -r -n 1 umount -l
} 2>/dev/null

world_end() {
  cd "$W" && [[ -z $MP ]] || share_alive || mount_again >/dev/null
  [[ -z $MP ]] || rm -rf "${D:?}"/* 2>/dev/null
  [[ $FS != faultfs ]] || _lb_unmount "$MP"
  cd /
  [[ -n ${CAMPAIGN_SHARES:-} ]] || { sshfs_down "$shares"; smb_down "$shares"; exfat_down "$shares"; } 2>/dev/null
  rm -rf "$W"
}
