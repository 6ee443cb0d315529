# A standard output that is slow and non-blocking: the run waits for it.
# (One that is closed or full, or whose reader goes away, is a row of the
# end-to-end table.)

scenario_standard_output() {
  # A slow reader of a standard output that another program made
  # non-blocking, with a pipe of one page: the program waits for it, and
  # its hundred-odd rows arrive complete.
  new_case stdout-slow-nonblocking-reader
  make_source "$dir/q.bin" $((8 * 1048576))
  out=$({ env LD_PRELOAD="$shim $faketime_lib" FERRUX_SHIM_NONBLOCKING_STDOUT=1 \
            FAKETIME="+0 x20000" NO_FAKE_STAT=1 "$program" "$dir/q.bin" "$dst" 4096
          echo $? >"$dir/status"; } | (sleep 1; cat))
  check "completes" test "$(<"$dir/status")" -eq 0
  check "more than a pipe's page of rows" test "$(progress_rows | wc -l)" -gt 80
  check "whole output" output_ends_with "Target File Size Set...Ok"
  check "complete" same_file "$dir/q.bin" "$dst/q.bin"
  end_case
}
