# Kills at random moments of a resumable copy, its clock 200 times fast (a
# checkpoint every 50 ms), each followed by a rerun, often with another
# block size. After every kill: a final name only for the whole copy, and
# a stored count never beyond the temporary file, covering only the
# source's bytes. After every rerun: the final file identical, and neither
# NAME.tmp nor NAME.size left.
#
# FERRUX_KILL_POINTS: the number of runs killed before their end (default 100).

scenario_kill_and_resume() {
  new_case kill-and-resume
  local kills=${FERRUX_KILL_POINTS:-100} src=$dir/k.bin final=$dst/k.bin
  local blocks=(4096 8192 65536 1048576 2097152) duration=3000000 start took
  make_source "$src" $((24 * 1048576 + 12345))  # not a multiple of any block
  # The kill moments spread over an uninterrupted slow copy: the fastest of
  # three, and at most 3 s of it (dozens of checkpoints), so that a busy
  # machine makes the runs longer, never the kill moments later.
  for _ in 1 2 3; do
    start=${EPOCHREALTIME/./}
    fast_clock 200
    run_ferrux "$src" "$dst" 4096
    took=$((${EPOCHREALTIME/./} - start))
    ((took < duration)) && duration=$took
    check "uninterrupted copy" same_file "$src" "$final"
    rm -f "$final"
  done
  local trial killed=0 restarts=0 reruns=0 bad=0 delay block why
  for ((trial = 1; killed < kills && trial <= 4 * kills; trial++)); do
    delay=$((duration * RANDOM / 32767))
    block=${blocks[RANDOM % ${#blocks[@]}]}
    fast_clock 200
    run_killed_after "$delay" "$src" "$dst" 4096
    [[ $status -eq 137 ]] && killed=$((killed + 1))
    why=$(state_sound "$src" "$final") || went_wrong "trial $trial (kill at $delay us): $why"
    if [[ ! -e $final ]]; then
      [[ $(stored_count "$final.size" 2>/dev/null) -gt 0 ]] && restarts=$((restarts + 1))
      reruns=$((reruns + 1))
      rerun_completes "$src" "$dst" "$block" ||
        went_wrong "trial $trial (kill at $delay us, rerun block $block): status $status, not identical or left over"
    fi
    rm -f "$final" "$final.tmp" "$final.size"
  done
  echo "     runs: $((trial - 1)); killed before their end: $killed; reruns: $reruns" \
    "($restarts from a stored count); wrong: $bad"
  [[ -s $dir/wrong.log ]] && sed 's/^/     /' "$dir/wrong.log"
  check "enough runs killed before their end" test "$killed" -ge "$kills"
  check "every kill left a sound state, every rerun identical" test "$bad" -eq 0
  faults_tried=$((faults_tried + kills - 1))
  [[ $case_ok -eq 1 ]] && outcomes_expected=$((outcomes_expected + kills - 1))
  end_case
}
