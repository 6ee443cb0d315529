# The explorer of leftover states: a copy (done within one interval, or
# resumed with a size file) killed at each finishing call of each way to
# the final name (atomic; linked, as NFS and sshfs; checked, as SMB and
# exFAT); each distinct state left meets each change of the world and a
# rerun. Exit status 0 only with the final file identical to the source as
# it is then, else a report ends the output; a final file that was there
# stays as it was (after a failure, an absent one stays absent), and a
# planted link's target unchanged.

explore_limit=5  # seconds a rerun may take
explore_calls=ftruncate,utimensat,fdatasync,renameat2,linkat,renameat,unlinkat,fchmod,fsync
explore_ways=("" "renameat2:error=EINVAL" "renameat2:error=EINVAL linkat:error=EPERM")
explore_changes=(same other-length other-bytes touched {final,tmp,size}-{file,link,fifo,folder})

# VIEW's files (a share's as its server has them): name, the first name of
# the same file, size, time, kind, bytes.
state_of() {  # VIEW
  local f ino
  local -A first=()
  for f in $(ls -A "$1" | sort); do
    ino=$(stat -c %i "$1/$f") && first[$ino]=${first[$ino]:-$f}
    echo "$f ${first[$ino]} $(stat -c '%s_%.9Y_%F' "$1/$f" | tr ' ' _) $(sha1sum <"$1/$f" | cut -c1-16)"
  done
}
save_state() {  # VIEW STORE
  local name first rest
  mkdir -p "$2" && state_of "$1" >"$2/list" && cp -p "$src" "$2/.source"
  while read -r name first rest; do [[ $name != "$first" ]] || cp -p "$1/$name" "$2/"; done <"$2/list"
}
restore_state() {  # STORE DST
  local name first rest
  rm -rf "${2:?}"/x.bin{,.tmp,.size} && cp -p "$1/.source" "$src"
  while read -r name first rest; do [[ $name != "$first" ]] || cp -p "$1/$name" "$2/"
    [[ $name == "$first" ]] || ln "$2/$first" "$2/$name"; done <"$1/list"
}

# $way: strace tracing the finishing calls, with the refusals of way WAY.
way_args() {  # WAY
  local refusal
  way=(strace -f -qq -o /dev/null -e "trace=$explore_calls")
  for refusal in ${explore_ways[$1]}; do way+=(-e "inject=$refusal"); done
}

# Kills a copy into DST at each finishing call of WAY; keeps each distinct
# state in $dir/states/WAY-N.
explore_stops() {  # VIEW DST WAY KIND
  local call way
  local -A nth=()
  rm -rf "${2:?}"/x.bin{,.tmp,.size}
  if [[ $4 == fresh ]]; then make_source "$src" 3000077; else stopped_copy "$src" "$2" stamped; fi
  save_state "$1" "$dir/start"
  way_args "$3" && "${way[@]}" -o "$dir/calls" "$program" "$src" "$2" 65536 >/dev/null
  for call in $(sed -nE 's/^[0-9]+ +([a-z0-9_]+)\(.*/\1/p' "$dir/calls"); do
    nth[$call]=$((${nth[$call]:-0} + 1))
    [[ " ${explore_ways[$3]}" != *" $call:"* ]] || continue  # a refused call changes nothing
    restore_state "$dir/start" "$2"
    status=$(timeout 20 "${way[@]}" -e "inject=$call:signal=KILL:when=${nth[$call]}" \
      "$program" "$src" "$2" 65536 >/dev/null 2>&1; echo $?) 2>/dev/null
    check "$4 way $3 killed at $call ${nth[$call]}" test "$status" -eq 137
    stops=$((stops + 1)) call=$(state_of "$1" | sha1sum)
    [[ -n ${seen[$call]:-} ]] || { seen[$call]=1 && save_state "$1" "$dir/states/$3-${#seen[@]}"; }
  done
}

# The final file's kind, identity and bytes, or "absent".
facts() { [[ -e $1 || -L $1 ]] || { echo absent; return; }; stat -c '%F %i' "$1"; [[ ! -f $1 ]] || sha1sum <"$1"; }
explore_holds() {  # VIEW: a final file that was there is never replaced
  [[ $before == absent || $(facts "$1/x.bin") == "$before" ]] || return 1
  if [[ $status -eq 0 ]]; then [[ -f $1/x.bin && ! -L $1/x.bin ]] && cmp -s "$src" "$1/x.bin"; return; fi
  [[ $status -ne 124 && $out =~ (Exception\ [A-Za-z0-9_:]+$nl.+|extension)$ ]] &&
    [[ $(facts "$1/x.bin") == "$before" ]]
}

# The explorer on one file system: VIEW shows what the program sees in DST;
# RUN is "native" or "wine"; SKIP matches the changes left out, for WHY.
explore_on() {  # LABEL VIEW DST RUN [SKIP WHY]
  new_case "explore-$1"
  local stops=0 reruns=0 completed=0 states=0 silent=0 src=$dir/x.bin w way store change what
  local -A at=([final]=x.bin [tmp]=x.bin.tmp [size]=x.bin.size)
  cd "$dir" && mkdir -p "$3"
  for w in "${!explore_ways[@]}"; do
    local -A seen=()
    explore_stops "$2" "$3" "$w" fresh
    explore_stops "$2" "$3" "$w" resumed
    states=$((states + ${#seen[@]})) && unset seen
    [[ $4 == wine ]] && way=(wine "$explore_exe") || { way_args "$w" && way+=("$program"); }
    for store in "$dir/states/$w"-*; do
      for change in "${explore_changes[@]}"; do
        [[ -z ${5:-} || $change != $5 ]] || continue
        restore_state "$store" "$3" && echo precious >"$dir/victim"
        what=$3/${at[${change%-*}]:-} && [[ -z ${at[${change%-*}]:-} ]] || rm -rf "$what"
        case $change in
          other-length) make_source "$src" 3100177 ;;
          other-bytes) make_source "$src" "$(stat -c %s "$src")" ;;
          touched) touch -d '+1 hour' "$src" ;;
          *-file) make_source "$what" 5000 ;;
          *-link) ln -s "$dir/victim" "$what" ;;
          *-fifo) mkfifo "$what" ;;
          *-folder) mkdir "$what" ;;
        esac
        before=$(facts "$2/x.bin")
        # To a file: Wine's helper processes keep a pipe open after the run.
        # The program always prints: a Wine run that shows nothing at all
        # (once in some thousands, not reproduced) is made again, and counted.
        for _ in 1 2; do
          timeout "$explore_limit" "${way[@]}" x.bin "${3#"$dir"/}" 65536 >"$dir/rerun.out" 2>&1
          status=$? out=$(<"$dir/rerun.out") out=${out//$'\r'/}
          [[ $4 == wine && -z $out ]] || break
          silent=$((silent + 1))
        done
        reruns=$((reruns + 1)) completed=$((completed + (status == 0)))
        check "${store##*/} $change: status $status, ${out##*$nl}" explore_holds "$2"
        check "${store##*/} $change: the link's target kept" test "$(<"$dir/victim")" = precious
      done
    done
  done
  cd - >/dev/null
  ((silent == 0)) || silent="; Wine started nothing $silent times, run again"
  echo "     stop points: $stops; distinct states: $states; reruns: $reruns ($completed completed)${5:+; left out: $5, $6}${silent#0}"
  check "some reruns complete" test "$completed" -gt 0
  faults_tried=$((faults_tried + reruns - 1)) outcomes_expected=$((outcomes_expected + case_ok * (reruns - 1)))
  end_case
}

# On a local disk, and the Windows build (FERRUX_EXPLORE_EXE, else the
# mingw preset's) under Wine. The real shares run it too (SMB and exFAT
# with a rename that replaces, where only the checked rename's look keeps
# a planted final name).
scenario_explore_leftovers() {
  local d=$work/explore
  explore_on local "$d-local/dst" "$d-local/dst" native
  explore_exe=${FERRUX_EXPLORE_EXE:-$(dirname "$program")/../../mingw/bin/ferrux.exe}
  [[ -x $explore_exe ]] && command -v wine >/dev/null || return 0
  # Not for ever, and away from the suite's output, which it would hold open.
  WINEDEBUG=-all wineserver -p30 </dev/null &>/dev/null
  explore_limit=30 WINEDEBUG=-all explore_on wine "$d-wine/dst" "$d-wine/dst" wine
}
