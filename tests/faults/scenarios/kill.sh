# Kills at random moments of a resumable copy, each followed by a rerun.

scenario_kill_and_resume() {
  new_case kill-and-resume
  local kills=${FERRUX_KILL_POINTS:-100} report result runs identical
  report=$("$here/kill_resume.sh" "$program" "$kills" "$dir/experiment")
  result=$?
  sed 's/^/     /' <<<"$report"
  runs=$(sed -n 's/^runs: \([0-9]*\);.*/\1/p' <<<"$report")
  identical=$(sed -n 's/^final files identical: \([0-9]*\) .*/\1/p' <<<"$report")
  faults_tried=$((faults_tried + kills - 1))
  files_compared=$((files_compared + ${identical:-0}))
  check "every resumed copy identical" test "$result" -eq 0
  check "ran" test "${runs:-0}" -gt 0
  [[ $case_ok -eq 1 ]] && outcomes_expected=$((outcomes_expected + kills - 1))
  end_case
}
