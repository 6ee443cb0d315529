# Failures in the middle of a copy, raised by the test shim: on the writer
# thread they end the process from there with the unhandled-failure report
# (exit status 1), on the main thread with the failure report; either way
# everything stays resumable. The shim also throws an exception that is
# none of the program's own, which is reported all the same. In the rows,
# ~ stands for a line end.

writer_failure_rows=(
  "short-write|FERRUX_SHIM_SHORT_WRITE=3|4096|Exception in module ferrux at [0-9A-F]{8}\.~Not all bytes written: 2048\."
  "write-error|FERRUX_SHIM_FAIL_WRITE=40:5|65536|EInOutError in module ferrux at [0-9A-F]{8}\.~I/O error 1117\."
  "foreign-on-writer|FERRUX_SHIM_FAIL_WRITE=40:throw|65536|std::length_error in module ferrux at 00000000\.~from the test shim\."
  "short-read|FERRUX_SHIM_SHORT_READ=5|4096|Exception~Readed less then full buffer"
  "foreign-on-main|FERRUX_SHIM_FAIL_READ=5:throw|4096|std::length_error~from the test shim"
)

scenario_failures_in_the_copy() {
  local row name setting block report
  for row in "${writer_failure_rows[@]}"; do
    IFS='|' read -r name setting block report <<<"$row"
    report=${report//\~/$nl}
    new_case "$name"
    make_source "$dir/w.bin" $((3 * 1048576 + 3))
    with_shim "$setting"
    run_ferrux "$dir/w.bin" "$dst" "$block"
    check "report" output_matches "${nl}Exception ${report}\$"
    check "resumable" resumable "$dir/w.bin" "$dst/w.bin"
    check "rerun completes" rerun_completes "$dir/w.bin" "$dst" 8192
    end_case
  done
}
