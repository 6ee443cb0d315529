# Power cuts at random moments of a resumable copy onto a share that keeps
# every write in memory until the file is flushed (faultfs "volatile"):
# unmounting is the cut. Half of the cuts lose everything unflushed; in the
# other half each lost write or truncation may still have reached the disk,
# as early write-back can, which is what a count stored before its data
# would be caught by. After each cut the share is mounted healthy: the
# durable state must hold no stored count beyond the durable data, no
# final name for an incomplete copy, and the count of the last progress
# row shown before the cut. One to three cut runs in a row, then a
# rerun on the healthy share that must complete to an identical copy.
#
# FERRUX_POWER_LOSS_POINTS: the number of cuts (default 200).

scenario_power_loss() {
  new_case power-loss
  fuse_ready || return
  local points=${FERRUX_POWER_LOSS_POINTS:-200}
  local src=$dir/p.bin final=$mnt/p.bin blocks=(4096 4096 65536 1048576)
  make_source "$src" $((12 * 1048576 + 12345))
  # The source lies on the share too, read from the host's cache: the
  # copy's pace depends little on the disk.
  mkdir "$back/in"
  cp "$src" "$back/in/p.bin"
  # Uninterrupted runs per block size, clock 200 times fast (a checkpoint
  # every 50 ms), spread the cuts over the copy and a little beyond.
  local -A took
  local block start us
  for block in "${blocks[@]}" "${blocks[@]}"; do
    share_up volatile || { end_case; return; }
    start=${EPOCHREALTIME/./}
    fast_clock 200
    run_ferrux "$mnt/in/p.bin" "$mnt" "$block"
    us=$((${EPOCHREALTIME/./} - start))
    ((us < ${took[$block]:-us + 1})) && took[$block]=$us
    share_down
    rm -f "$back"/p.bin*
  done

  local cuts=0 during=0 after=0 restarts=0 reruns=0 identical=0 bad=0
  local chain seed delay why shown
  while ((cuts < points)); do
    for ((chain = 1 + RANDOM % 3; chain > 0 && cuts < points; chain--)); do
      seed=$((RANDOM % 2 ? RANDOM + 1 : 0))
      share_up "volatile,writeback_seed=$seed" || break 2
      block=${blocks[RANDOM % ${#blocks[@]}]}
      delay=$((took[$block] * 13 * RANDOM / 327670))
      fast_clock 200
      run_killed_after "$delay" "$mnt/in/p.bin" "$mnt" "$block"
      share_down
      cuts=$((cuts + 1))
      [[ $status -eq 137 ]] && during=$((during + 1)) || after=$((after + 1))
      [[ $out == *"Restart from "* ]] && restarts=$((restarts + 1))
      share_up "" || break 2
      why=$(state_sound "$src" "$final") || went_wrong "cut $cuts (block $block, ${delay} us, seed $seed): $why"
      # A progress row is printed once its count is stored: a cut keeps it.
      shown=$(progress_rows | awk '$2 > 0 {n = $1} END {print n + 0}')
      [[ -e $final || $(stored_count "$final.size" 2>/dev/null) -ge shown ]] ||
        went_wrong "cut $cuts (block $block, ${delay} us, seed $seed): the count $shown shown was lost"
      [[ -e $final ]] && chain=0
      share_down
    done
    share_up "" || break
    if [[ ! -e $final ]]; then
      reruns=$((reruns + 1))
      rerun_completes "$mnt/in/p.bin" "$mnt" && identical=$((identical + 1)) ||
        went_wrong "rerun after cut $cuts: status $status, not identical or left over"
    fi
    share_down
    rm -f "$back"/p.bin*
  done
  faults_tried=$((faults_tried + cuts - 1))
  echo "     power cuts: $cuts ($during during the copy, $after after it);" \
    "resumed runs: $restarts; reruns: $reruns, identical: $identical"
  [[ -s $dir/wrong.log ]] && sed 's/^/     /' "$dir/wrong.log"
  check "cuts as asked" test "$cuts" -eq "$points"
  check "cuts during the copy" test "$during" -gt 0
  check "every cut left a sound durable state, every rerun identical" test "$bad" -eq 0
  [[ $case_ok -eq 1 ]] && outcomes_expected=$((outcomes_expected + cuts - 1))
  end_case
}
