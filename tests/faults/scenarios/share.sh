# Shares that misbehave (the FUSE test file system faultfs): one that
# fails behind the write-back cache, one that drops in the middle of a
# read, of a write or at a checkpoint, one that reads short, and a slow
# one. Every mount lives in the case's folder and is unmounted.

# A share that refuses direct writes (at the open, and as the test shim
# makes it do later) and keeps what is written in the
# kernel's write-back cache: a write the server fails shows only at
# write-back. It fails the run before a count covers it or a name is
# given: one write in the middle of the copy (the writer waits for each
# block's write-back), and the last ones in finishing (/O, no checkpoint).
scenario_share_fails_behind_the_cache() {
  local when fail args
  for when in copy finishing; do
    fuse_case "share-fails-behind-the-cache-in-$when" || continue
    make_source "$dir/w.bin" $((6 * 1048576 + 1000))
    fail=$((3 * 1048576)),fail_count=1 args=("$dir/w.bin" "$mnt" 65536)
    [[ $when == finishing ]] && fail=$((6 * 1048576)) args=(/O "${args[@]}")
    if share_up "writeback,refuse_direct,fail_on=write,fail_after=$fail"; then
      with_shim FERRUX_SHIM_REFUSE_DIRECT=1
      run_ferrux "${args[@]}"
      check "exit status" test "$status" -eq 1
      check "reported" output_matches "I/O error 1117|Input/output error"
      check "resumable" resumable "$dir/w.bin" "$mnt/w.bin"
      unmount_faultfs "$mnt"
      share_up "" || { end_case; continue; }
      check "rerun completes" rerun_completes "$dir/w.bin" "$mnt" 65536
      unmount_faultfs "$mnt"
    fi
    end_case
  done
}

scenario_share_tmpfs() {
  new_case share-tmpfs
  mkdir -p "$dir/tmpfs"
  if mount -t tmpfs -o size=40m ferrux-test "$dir/tmpfs"; then
    make_source "$dir/tmpfs/t.bin" $((6 * 1048576 + 1000))
    mkdir "$dir/tmpfs/out"
    run_ferrux "$dir/tmpfs/t.bin" "$dir/tmpfs/out"
    check "completes" test "$status" -eq 0
    check "identical" same_file "$dir/tmpfs/t.bin" "$dir/tmpfs/out/t.bin"
    umount "$dir/tmpfs"
  else
    check "tmpfs mounted" false
  fi
  end_case
}

# The share drops after 3 MiB of reads (source on it) or of writes (target
# on it): the main thread reports a read, the writer thread a write; the
# rerun on the share, healthy again, completes.
scenario_share_drops() {
  local side name code src target options
  for side in read write; do
    for name in EIO ENOTCONN; do
      fuse_case "share-drops-$side-$name" || continue
      code=$([[ $name == EIO ]] && echo 1117 || echo 64)
      make_source "$dir/s.bin" $((6 * 1048576 + 777))
      options="fail_on=$side,fail_after=$((3 * 1048576)),fail_errno=$name"
      if [[ $side == read ]]; then
        cp "$dir/s.bin" "$back/s.bin"
        src=$mnt/s.bin target=$dst
        # 5 ms a read and a checkpoint every 50 ms: the 48 reads before the
        # drop leave a count to resume from.
        options+=,latency_us=5000
        fast_clock 200
      else
        # No checkpoint: every write on the share is a block of the writer.
        src=$dir/s.bin target=$mnt
      fi
      if share_up "$options"; then
        run_ferrux "$src" "$target" 65536
        if [[ $side == read ]]; then
          check "report" output_ends_with "Exception EInOutError${nl}I/O error $code"
        else
          check "report" output_matches "$(writer_report EInOutError "I/O error $code\.")"
        fi
        check "resumable" resumable "$dir/s.bin" "$target/s.bin"
        local count=0
        [[ -s $target/s.bin.size ]] && count=$(stored_count "$target/s.bin.size")
        unmount_faultfs "$mnt"
        share_up "" || { end_case; continue; }
        check "rerun completes" rerun_completes "$src" "$target"
        if [[ $side == read ]]; then
          check "a count stored before the drop" test "$count" -gt 0
          check "rerun restarts from it" output_has "Restart from $count$nl"
        fi
        unmount_faultfs "$mnt"
      fi
      end_case
    done
  done
}

# A share at 4 MiB/s with 200 us per call, the clock 20 times fast (a
# checkpoint every half second): killed after its first progress row, the
# copy resumes from the count stored.
scenario_share_slow() {
  fuse_case share-slow || return
  make_source "$dir/slow.bin" $((8 * 1048576 + 4321))
  if share_up throttle_bps=4194304,latency_us=200; then
    fast_clock 20
    start_ferrux "$dir/slow.bin" "$mnt" 65536
    local i row=
    for ((i = 0; i < 100; i++)); do
      sleep 0.1
      row=$(grep -m 1 -E '^ +[0-9]+ +[0-9]+ .*$' "$dir/run.out") && break
    done
    kill -KILL "$run_pid"
    finish_ferrux
    local first count
    first=$(awk '{print $1}' <<<"$row")
    count=$(stored_count "$mnt/slow.bin.size")
    check "killed during the copy" test "$status" -eq 137
    # A row is printed after its checkpoint stored the count.
    check "a checkpoint before the kill" test "${count:-0}" -ge "${first:-1}"
    check "no final name" absent "$mnt/slow.bin"
    check "stored count covered" cmp -s -n "$count" "$dir/slow.bin" "$mnt/slow.bin.tmp"
    fast_clock 20
    check "rerun completes" rerun_completes "$dir/slow.bin" "$mnt" 65536
    check "rerun restarts from the count" output_has "Restart from $count$nl"
    unmount_faultfs "$mnt"
  fi
  end_case
}

# The share drops at the third checkpoint's flush: two counts were stored,
# none after; the rerun on the healthy share resumes from the second.
scenario_share_drops_at_checkpoint() {
  fuse_case share-drops-at-checkpoint || return
  make_source "$dir/c.bin" $((6 * 1048576 + 99))
  if share_up fail_on=fsync,fail_after=4,fail_errno=ENOTCONN,latency_us=2000; then
    fast_clock 200
    run_ferrux "$dir/c.bin" "$mnt" 65536
    check "report" output_ends_with "Exception EWin32Error${nl}Win32 Error.  Code: 64.${nl}Transport endpoint is not connected"
    check "resumable" resumable "$dir/c.bin" "$mnt/c.bin"
    local second
    second=$(grep -E '^ +[0-9]+ +[0-9]+ ' <<<"$out" | sed -n 2p | awk '{print $1}')
    check "count of the second checkpoint kept" test "$(stored_count "$mnt/c.bin.size")" = "${second:-none}"
    unmount_faultfs "$mnt"
    if share_up ""; then
      check "rerun completes" rerun_completes "$dir/c.bin" "$mnt"
      check "rerun restarts from it" output_has "Restart from $second$nl"
      unmount_faultfs "$mnt"
    fi
  fi
  end_case
}

# Reads of the share come back half full: the copy stops with a clear
# report, nothing is counted, and the rerun on the healthy share completes.
# Through the cache the kernel may take a short answer for the end of the
# file, so the report is either of the program's two short-read checks.
scenario_share_short_reads() {
  fuse_case share-short-reads || return
  make_source "$back/h.bin" $((2 * 1048576 + 5))
  if share_up short_reads; then
    run_ferrux "$mnt/h.bin" "$dst" 65536
    check "report" output_matches $'Exception Exception\n(0 bytes readed|Readed less then full buffer)$'
    check "resumable" resumable "$back/h.bin" "$dst/h.bin"
    unmount_faultfs "$mnt"
    if share_up ""; then
      check "rerun completes" rerun_completes "$mnt/h.bin" "$dst"
      unmount_faultfs "$mnt"
    fi
  fi
  end_case
}
