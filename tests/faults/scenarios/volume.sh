# A copy leaves neither file in the page cache, whatever the block size:
# small blocks once left a large source wholly cached (the kernel drops
# only whole folios, and a folio straddled each block's end). On a test
# volume of its own, so that the source starts cold.

cached_bytes() { fincore --bytes --noheadings --output RES "$1" | tr -d ' '; }

scenario_cache_stays_clean() {
  local block vol
  for block in 4096 65536 2097152; do
    new_case "cache-clean-$block"
    vol=$dir/vol
    mkdir "$vol"
    truncate -s 160M "$dir/vol.img"
    if mkfs.ext4 -q -F "$dir/vol.img" >/dev/null 2>&1 && mount -o loop "$dir/vol.img" "$vol"; then
      make_source "$vol/c.bin" $((64 * 1048576 + 5))
      mkdir "$vol/dst"
      # Remounting empties the cache of the volume.
      umount "$vol" && mount -o loop "$dir/vol.img" "$vol"
      run_ferrux "$vol/c.bin" "$vol/dst" "$block"
      check "source not left cached" test "$(cached_bytes "$vol/c.bin")" -le $((16 * 1048576))
      check "copy not left cached" test "$(cached_bytes "$vol/dst/c.bin")" -le $((16 * 1048576))
      check "completes identical" completed "$vol/c.bin" "$vol/dst/c.bin"  # reads them: last
      umount "$vol"
    else
      check "test volume mounted" false
    fi
    end_case
  done
}

# A source as long as the largest file the program may make (here the
# process's own limit; on FAT, 4 GiB - 1): its last block, written whole,
# would pass that length, so it goes through the cache at its exact length;
# a longer one is refused at once.
scenario_largest_file() {
  new_case largest-file
  make_source "$dir/f.bin" 5120000
  run_wrap=(bash -c 'ulimit -f 5000; exec "$@"' limited)
  run_ferrux "$dir/f.bin" "$dst" 65536
  check "completes identical" completed "$dir/f.bin" "$dst/f.bin"
  # One byte more is refused before anything is made, and never retried.
  make_source "$dir/g.bin" 5120001
  run_wrap=(bash -c 'ulimit -f 5000; exec "$@"' limited)
  run_ferrux /R:3 /W:0 "$dir/g.bin" "$dst" 65536
  check "one byte more: refused" output_ends_with "largest file 5120000 bytes"
  check "nothing made, not retried" test "$status $(ls "$dst")" = "1 f.bin"
  end_case
}

# A sparse source past 4 GiB, with marks across the 2 GiB and 4 GiB
# boundaries and at its end, which lies inside a block; the last row shows
# the whole count in its column.
scenario_beyond_four_gib() {
  new_case beyond-four-gib
  local size=$((4 * 1073741824 + 5 * 1048576 + 123)) at
  for at in 0 $((2147483648 - 50)) $((4294967296 - 50)) $((size - 100)); do
    head -c 100 /dev/urandom | dd of="$dir/g.bin" bs=100 seek="$at" oflag=seek_bytes conv=notrunc status=none
  done
  run_ferrux "$dir/g.bin" "$dst"
  check "completes identical" completed "$dir/g.bin" "$dst/g.bin"
  check "the last row" output_has "$(printf '%11d%12d' "$size" 0)"
  end_case
}
