# A standard output that is closed or full, whose reader goes away, or that
# is slow and non-blocking: the run fails clearly or waits, never dies
# silently.

scenario_standard_output() {
  # Closed, it stops the run before anything is done; a full device, written
  # to at the end, fails the run after the copy.
  new_case stdout-closed-or-full
  make_source "$dir/o.bin" 5000
  "$program" "$dir/o.bin" "$dst" >&- 2>/dev/null
  check "closed: status" test "$?" -eq 1
  check "closed: nothing created" test -z "$(ls -A "$dst")"
  "$program" "$dir/o.bin" "$dst" >/dev/full 2>/dev/null
  check "full: status" test "$?" -eq 1
  check "full: copied all the same" same_file "$dir/o.bin" "$dst/o.bin"
  end_case

  # A reader that goes away after the first bytes: the program sees a broken
  # pipe, and whatever it left is complete or resumable.
  new_case stdout-reader-gone
  make_source "$dir/p.bin" $((8 * 1048576))
  "$program" "$dir/p.bin" "$dst" 65536 | head -c 20 >/dev/null
  check "status is 0 or 1" test "${PIPESTATUS[0]}" -le 1
  check "what is left is sound" state_sound "$dir/p.bin" "$dst/p.bin"
  end_case

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
