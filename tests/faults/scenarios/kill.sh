# Kills at random moments of a resumable copy, each followed by a rerun.

scenario_kill_and_resume() {
  new_case kill-and-resume
  local kills=${FERRUX_KILL_POINTS:-100} report
  report=$("$here/kill_resume.sh" "$program" "$kills" "$dir/experiment")
  check "every resumed copy identical" test $? -eq 0
  sed 's/^/     /' <<<"$report"
  [[ $report =~ final\ files\ identical:\ ([0-9]+) ]] && files_compared=$((files_compared + BASH_REMATCH[1]))
  faults_tried=$((faults_tried + kills - 1))
  [[ $case_ok -eq 1 ]] && outcomes_expected=$((outcomes_expected + kills - 1))
  end_case
}
