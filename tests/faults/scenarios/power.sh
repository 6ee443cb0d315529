# Power cuts that lose metadata too. faultfs records every change of one
# copy (a fresh one done within one interval, one with checkpoints, one
# resumed) on each way to the final name, then rebuilds every state a cut
# may leave between two flushes: a journal that keeps a prefix of what is
# pending, or a server that applies any part of it. In each state: no final
# name but a whole copy, no stored count beyond the durable data, none
# below the last progress row shown. Then two runs on the same kind of
# mount: neither leaves anything else under the final name, one that exits
# 0 leaves the copy, and the second ends with it, nothing left over, unless
# it reports that it cannot tell and says what to delete.

# Records one copy of $src into $mnt/dst by the program $run (cut_build's)
# with way $1, kind $2 (fresh, checkpoints, resumed): the journal in $dir/j,
# the backing folder as it was before in $dir/snap.
cut_record() {  # WAY KIND
  rm -rf "$back" "$dir/snap" && mkdir -p "$back/dst"
  # Stamped in whole seconds, which Windows's 100 ns steps keep.
  [[ $2 != resumed ]] || stopped_copy "$src" "$back/dst" stamped whole-seconds
  cp -a "$back" "$dir/snap"
  # Wine's tick count ignores a fast clock: its checkpoints come by slow
  # writes, some 50 of a quarter second each.
  local slow=
  [[ $2 == checkpoints && ${run[0]} == wine ]] && slow=,write_delay=250
  share_up "journal=$dir/j${1:+,$1}$slow" || return
  [[ $2 != checkpoints || -n $slow ]] || fast_clock 2000
  (cd "$dir" && timeout 120 env "${run_env[@]}" "${run[@]}" p.bin mnt/dst 65536 >mnt/console.txt 2>>"$dir/record.err")
  run_env=()
  share_down
}

# The checks of one rebuilt state in $mnt; counts in the caller.
cut_check() {  # LABEL
  local final=$mnt/dst/p.bin shown why i last
  why=$(state_sound "$src" "$final") || { went_wrong "$1: the cut left $why"; return; }
  shown=$(out=$(tr -d '\r' <"$mnt/console.txt") && progress_rows | awk '$2 > 0 {n = $1} END {print n + 0}')
  [[ -e $final || $(stored_count "$final.size" 2>/dev/null) -ge shown ]] || { went_wrong "$1: the count $shown shown was lost"; return; }
  rm -f "$mnt/console.txt"
  local had_final=$([[ -e $final ]] && echo 1)
  [[ -n $had_final && ! -e $final.tmp && ! -e $final.size ]] && return  # done
  for i in 1 2; do
    (cd "$dir" && timeout 30 "${run[@]}" p.bin mnt/dst 65536 >run.out 2>&1)
    status=$? out=$(tr -d '\r' <"$dir/run.out")
    why=$(state_sound "$src" "$final") || { went_wrong "$1: run $i left $why"; return; }
    ((status == 0)) && { same_file "$src" "$final" && break; went_wrong "$1: run $i ended 0 without the copy"; return; }
  done
  [[ $status -eq 0 && ! -e $final.tmp && ! -e $final.size ]] && same_file "$src" "$final" && return
  last=${out##*$nl}
  [[ $last == *"delete .tmp and .size files to start over" ]] ||
    { went_wrong "$1: the second run ended $status: $last"; return; }
  ((ambiguous += 1)) && echo "$1: $last" >>"$dir/ambiguous.log"
}

# Every cut of every recording with one build, by the program $run, of the
# kinds given; one line of figures per model.
cut_build() {  # LABEL KIND...
  local model way kind n t recordings boundaries tried states ambiguous bad k
  for model in ordered any; do
    recordings=0 boundaries=0 tried=0 states=0 ambiguous=0 bad=0
    for way in "" link_way replacing_rename; do
      for kind in "${@:2}"; do
        cut_record "$way" "$kind" || return
        read -r n k t < <("$faultfs" cuts "$dir/j" "$dir/snap" "$model" "$dir/list")
        recordings=$((recordings + 1)) boundaries=$((boundaries + n)) tried=$((tried + k)) states=$((states + t))
        share_up "$way" || return
        for ((k = 0; k < t; k++)); do
          rm -f "$mnt"/dst/p.bin{,.tmp,.size} "$mnt/console.txt"
          "$faultfs" cut "$dir/j" "$dir/snap" "$dir/list" "$k" "$mnt"
          cut_check "$1 $model ${way:-rename} $kind state $k"
        done
        share_down
      done
    done
    echo "     power cuts ($1, $model): recordings: $recordings; boundaries: $boundaries; cut states tried: $tried;" \
      "distinct: $states; ambiguous: $ambiguous; invariant held in $((states - bad))"
    check "$1 $model: the invariant held in every state" test "$bad" -eq 0
    faults_tried=$((faults_tried + states)) outcomes_expected=$((outcomes_expected + states - bad))
  done
}

scenario_power_cuts() {
  new_case power-cuts
  fuse_ready || return
  src=$dir/p.bin && make_source "$src" $((3 * 1048576 + 12345))
  local run=("$program") exe=$(dirname "$program")/../../mingw/bin/ferrux.exe
  cut_build linux fresh checkpoints resumed
  if [[ -x $exe ]] && command -v wine >/dev/null; then
    # Wine's own services start now, not with output into the mount.
    WINEDEBUG=-all wineserver -p30 </dev/null &>/dev/null  # see the explorer
    WINEDEBUG=-all wine "$exe" >"$dir/wine.out" 2>&1
    run=(wine "$exe")
    WINEDEBUG=-all cut_build windows fresh checkpoints resumed
  else
    echo "     power cuts (windows): SKIPPED, no mingw build or no wine"
  fi
  [[ -s $dir/wrong.log ]] && sed 's/^/     /' "$dir/wrong.log" | head -n 40
  [[ -s $dir/ambiguous.log ]] && sort -u -k2 "$dir/ambiguous.log" | sed 's/^/     ambiguous: /' | head -n 10
  faults_tried=$((faults_tried - 1)) outcomes_expected=$((outcomes_expected - case_ok))
  end_case
}
