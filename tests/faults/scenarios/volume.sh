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
      check "status" test "$status" -eq 0
      check "source not left cached" test "$(cached_bytes "$vol/c.bin")" -le $((16 * 1048576))
      check "copy not left cached" test "$(cached_bytes "$vol/dst/c.bin")" -le $((16 * 1048576))
      check "copy identical" same_file "$vol/c.bin" "$vol/dst/c.bin"
      umount "$vol"
    else
      check "test volume mounted" false
    fi
    end_case
  done
}

# A source as long as the largest file the program may make (here the
# process's own limit; on FAT, 4 GiB - 1): its last block, written whole,
# would pass that length, so it goes through the cache at its exact length.
scenario_largest_file() {
  new_case largest-file
  make_source "$dir/f.bin" 5120000
  run_wrap=(bash -c 'ulimit -f 5000; exec "$@"' limited)
  run_ferrux "$dir/f.bin" "$dst" 65536
  check "completes" test "$status" -eq 0
  check "copy identical" same_file "$dir/f.bin" "$dst/f.bin"
  end_case
}
