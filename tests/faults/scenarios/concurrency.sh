# Things that happen beside a running copy: a second run on the same target,
# a source that shrinks or grows while it is read.

# Starts a copy whose every read is slowed (strace), in the background;
# its output goes to $dir/first.out and its pid to $first_pid.
start_slow_copy() {  # DELAY_US ARGS...
  local delay=$1
  shift
  strace -f -qq -o /dev/null -e trace=read -e inject=read:delay_enter="$delay" \
    "$program" "$@" >"$dir/first.out" 2>&1 &
  first_pid=$!
}

scenario_two_runs_on_one_target() {
  new_case two-runs-on-one-target
  make_source "$dir/t.bin" $((2 * 1048576 + 9))
  start_slow_copy 40000 "$dir/t.bin" "$dst" 65536
  sleep 1
  local tmp_before
  tmp_before=$(sha256sum <"$dst/t.bin.tmp")
  run_ferrux "$dir/t.bin" "$dst" 65536
  check "second run refused" output_ends_with "Exception EInOutError${nl}I/O error 32"
  check "exit status" test "$status" -eq 1
  wait "$first_pid"
  check "first run completed" test $? -eq 0
  check "first run's copy is correct" same_file "$dir/t.bin" "$dst/t.bin"
  check "nothing left over" absent "$dst/t.bin.tmp"
  [[ -n $tmp_before ]]
  end_case
}

scenario_source_shrinks() {
  local spec cut message
  for spec in "0:0 bytes readed" "$((3 * 1048576 + 100)):Readed less then full buffer"; do
    cut=${spec%%:*} message=${spec#*:}
    new_case "source-shrinks-to-$cut"
    make_source "$dir/s.bin" $((4 * 1048576))
    start_slow_copy 40000 "$dir/s.bin" "$dst" 65536
    sleep 1
    truncate -s "$cut" "$dir/s.bin"
    wait "$first_pid"
    status=$?
    out=$(<"$dir/first.out")
    check "report" output_ends_with "Exception Exception${nl}${message}"
    check "resumable" resumable "$dir/s.bin" "$dst/s.bin"
    if ((cut > 0)); then
      check "rerun copies what is left" rerun_completes "$dir/s.bin" "$dst" 4096
    fi
    end_case
  done
}

scenario_source_grows() {
  new_case source-grows
  local size=$((2 * 1048576 + 1000))
  make_source "$dir/g.bin" $size
  cp "$dir/g.bin" "$dir/original.bin"
  start_slow_copy 40000 "$dir/g.bin" "$dst" 65536
  sleep 1
  head -c 1048576 /dev/urandom >>"$dir/g.bin"
  wait "$first_pid"
  status=$?
  out=$(<"$dir/first.out")
  check "completed" test "$status" -eq 0
  check "the last row shows the overrun" output_matches $'\n +[0-9]+ +-[0-9]+ '
  check "cut to the size measured at the start" same_file "$dir/original.bin" "$dst/g.bin"
  end_case
}
