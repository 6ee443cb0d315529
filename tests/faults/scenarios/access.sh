# Hostile or unusable inputs as an ordinary user sees them (root would be
# let through): a clear report, exit status 1, and nothing created or
# touched that should not be.

# Runs the program as the unprivileged user "nobody" in a directory under
# /tmp that nobody can reach.
as_nobody() {
  out=$(setpriv --reuid=65534 --regid=65534 --clear-groups "$program" "$@" 2>&1)
  status=$?
}

scenario_access_denied() {
  local case_dir spec name
  for spec in read-only-destination unreadable-source; do
    new_case "$spec"
    case_dir=$(mktemp -d /tmp/ferrux-access.XXXXXX)
    chmod 755 "$case_dir"
    mkdir "$case_dir/out"
    make_source "$case_dir/a.bin" 5000
    if [[ $spec == read-only-destination ]]; then
      chmod 555 "$case_dir/out"
    else
      chmod 000 "$case_dir/a.bin"
    fi
    as_nobody "$case_dir/a.bin" "$case_dir/out"
    check "report" output_ends_with "Exception EInOutError${nl}File access denied"
    check "status" test "$status" -eq 1
    check "nothing created" test -z "$(ls -A "$case_dir/out")"
    rm -rf "$case_dir"
    end_case
  done
}

scenario_standard_output() {
  new_case stdout-closed
  make_source "$dir/o.bin" 5000
  "$program" "$dir/o.bin" "$dst" >&- 2>/dev/null
  status=$?
  check "status" test "$status" -eq 1
  check "nothing created" test -z "$(ls -A "$dst")"
  end_case

  # A reader that goes away after the first bytes: the program sees a broken
  # pipe, never dies silently, and whatever it left is resumable or complete.
  new_case stdout-reader-gone
  make_source "$dir/p.bin" $((8 * 1048576))
  "$program" "$dir/p.bin" "$dst" 65536 | head -c 20 >/dev/null
  status=${PIPESTATUS[0]}
  check "status is 0 or 1" test "$status" -le 1
  if [[ -e $dst/p.bin ]]; then
    check "complete" same_file "$dir/p.bin" "$dst/p.bin"
  else
    check "resumable" resumable "$dir/p.bin" "$dst/p.bin"
    check "rerun completes" rerun_completes "$dir/p.bin" "$dst" 65536
  fi
  end_case

  # A slow reader of a standard output that another program made
  # non-blocking, with a pipe of one page: the program waits for it, and
  # its hundred-odd rows arrive complete.
  new_case stdout-slow-nonblocking-reader
  make_source "$dir/q.bin" $((8 * 1048576))
  out=$({ env LD_PRELOAD="$shim $faketime_lib" FERRUX_SHIM_NONBLOCKING_STDOUT=1 \
            FAKETIME="+0 x20000" NO_FAKE_STAT=1 "$program" "$dir/q.bin" "$dst" 4096
          echo $? >"$dir/status"; } | (sleep 1; cat))
  status=$(<"$dir/status")
  check "completes" test "$status" -eq 0
  check "more than a pipe's page of rows" test "$(grep -cE '^ +[0-9]+ +[0-9]+ ' <<<"$out")" -gt 80
  check "whole output" output_ends_with "Target File Size Set...Ok"
  check "complete" same_file "$dir/q.bin" "$dst/q.bin"
  end_case
}
