# A destination volume that fills up: a clear report, exit status 1,
# nothing corrupted; once space is freed the rerun completes.

# Mounts a small test volume of KIND (ext4, ext2 or tmpfs) at $dir/vol.
mount_volume() {  # KIND MIB
  mkdir -p "$dir/vol"
  if [[ $1 == tmpfs ]]; then
    mount -t tmpfs -o size="$2m" ferrux-test "$dir/vol"
  else
    truncate -s "$2M" "$dir/vol.img"
    "mkfs.$1" -q -F "$dir/vol.img" >/dev/null 2>&1 &&
      mount -o loop "$dir/vol.img" "$dir/vol"
  fi
}

scenario_volume_full() {
  local kind expected
  # ext4 and tmpfs reserve the space up front, so the copy fails before its
  # first block; ext2 cannot reserve, so the writer hits the full volume.
  for kind in ext4 tmpfs ext2; do
    new_case "volume-full-$kind"
    if ! mount_volume "$kind" 48; then
      check "test volume mounted" false
      end_case
      continue
    fi
    make_source "$dir/v.bin" $((25 * 1048576 + 3))
    head -c $((30 * 1048576)) /dev/zero >"$dir/vol/filler"
    run_ferrux "$dir/v.bin" "$dir/vol"
    if [[ $kind == ext2 ]]; then
      expected=$(printf 'Target File Preallocation...Fail\n.*Exception EInOutError in module %s at [0-9A-F]{8}\\.\nI/O error 112\\.$' "$(basename "$program")")
    else
      expected=$'Target File Preallocation...Exception EInOutError\nI/O error 112$'
    fi
    check "report" output_matches "$expected"
    check "resumable" resumable "$dir/v.bin" "$dir/vol/v.bin"
    rm "$dir/vol/filler"
    check "rerun completes once space is freed" rerun_completes "$dir/v.bin" "$dir/vol"
    umount "$dir/vol"
    end_case
  done
}

scenario_volume_full_small_file() {
  new_case volume-full-small-file
  if mount_volume tmpfs 1; then
    make_source "$dir/small.bin" 300000
    head -c 900000 /dev/zero >"$dir/vol/filler" 2>/dev/null
    run_ferrux "$dir/small.bin" "$dir/vol"
    check "report" output_matches $'Rest of copy 300000\nException EInOutError\n(I/O error 112|Disk full)$'
    check "status" test "$status" -eq 1
    check "no final name" absent "$dir/vol/small.bin"
    rm "$dir/vol/filler"
    check "rerun completes" rerun_completes "$dir/small.bin" "$dir/vol"
    umount "$dir/vol"
  else
    check "test volume mounted" false
  fi
  end_case
}

# Resident bytes of FILE in the page cache.
cached_bytes() {
  fincore --bytes --noheadings --output RES "$1" | tr -d ' '
}

# A copy leaves neither file in the page cache, whatever the block size:
# small blocks once left a large source wholly cached (the kernel drops
# only whole folios, and a folio straddled each block's end).
scenario_volume_cache_stays_clean() {
  local block
  for block in 4096 65536 2097152; do
    new_case "cache-clean-$block"
    if ! mount_volume ext4 160; then
      check "test volume mounted" false
      end_case
      continue
    fi
    make_source "$dir/vol/c.bin" $((64 * 1048576 + 5))
    mkdir "$dir/vol/dst"
    # Remounting empties the cache of the volume: the source starts cold.
    umount "$dir/vol" && mount -o loop "$dir/vol.img" "$dir/vol"
    run_ferrux "$dir/vol/c.bin" "$dir/vol/dst" "$block"
    check "status" test "$status" -eq 0
    check "source not left cached" \
      test "$(cached_bytes "$dir/vol/c.bin")" -le $((16 * 1048576))
    check "copy not left cached" \
      test "$(cached_bytes "$dir/vol/dst/c.bin")" -le $((16 * 1048576))
    check "copy identical" same_file "$dir/vol/c.bin" "$dir/vol/dst/c.bin"
    umount "$dir/vol"
    end_case
  done
}
