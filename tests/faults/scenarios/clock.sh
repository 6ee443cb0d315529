# The millisecond tick wraps past 2^32 every 49.7 days. The program's clock
# is started just before the wrap (the monotonic clock that libfaketime
# gives a "@DATE" start is DATE in seconds since 1970, so the tick is DATE
# in ms modulo 2^32), runs 20 times fast, and each block takes 100 ms of it.

# 2024-06-10 02:35:18.400 UTC is 400 * 2^32 ms.
tick_wrap_rows=(
  "tick-wrap-in-10.05s|2024-06-10 02:35:08.350"
  "tick-wrap-in-10.5s|2024-06-10 02:35:07.900"
)

scenario_tick_wrap() {
  local row name start seconds rows
  for row in "${tick_wrap_rows[@]}"; do
    IFS='|' read -r name start <<<"$row"
    new_case "$name"
    make_source "$dir/w.bin" $((400 * 4096 + 100))
    run_env+=(TZ=UTC FAKETIME="@$start x20" NO_FAKE_STAT=1 LD_PRELOAD="$faketime_lib")
    inject -e inject=write,pwrite64:delay_enter=5000
    run_ferrux "$dir/w.bin" "$dst" 4096
    check "completes identical" completed "$dir/w.bin" "$dst/w.bin"
    # One row about every 10 s, before the wrap as after it, and the last.
    seconds=0
    [[ $out =~ complete\ in\ 00:([0-9][0-9]):([0-9][0-9]) ]] &&
      seconds=$((10#${BASH_REMATCH[1]} * 60 + 10#${BASH_REMATCH[2]}))
    rows=$(progress_rows | wc -l)
    check "a row every 10 s ($seconds s, $rows rows)" \
      test "$seconds" -ge 30 -a "$rows" -ge $((seconds / 10)) -a "$rows" -le $((seconds / 10 + 1))
    end_case
  done
}
