# Failures of the background writer end the process from its thread with
# the unhandled-failure report and exit status 1, leaving everything
# resumable; and the main thread's failures while the writer works.

# The report of a failure raised on the writer thread.
writer_report() {  # CLASS MESSAGE
  printf 'Exception %s in module %s at [0-9A-F]{8}\\.\n%s$' \
    "$1" "$(basename "$program")" "$2"
}

scenario_writer_short_write() {
  new_case writer-short-write
  make_source "$dir/w.bin" $((1048576 + 3))
  with_shim FERRUX_SHIM_SHORT_WRITE=3
  run_ferrux "$dir/w.bin" "$dst" 4096
  check "report" output_matches "$(writer_report Exception 'Not all bytes written: 2048\.')"
  check "resumable" resumable "$dir/w.bin" "$dst/w.bin"
  check "rerun completes" rerun_completes "$dir/w.bin" "$dst" 8192
  end_case
}

scenario_writer_write_error() {
  new_case writer-write-error
  make_source "$dir/w.bin" $((3 * 1048576))
  with_shim FERRUX_SHIM_FAIL_WRITE=40:5  # EIO
  run_ferrux "$dir/w.bin" "$dst" 65536
  check "report" output_matches "$(writer_report EInOutError 'I/O error 1117\.')"
  check "resumable" resumable "$dir/w.bin" "$dst/w.bin"
  check "rerun completes" rerun_completes "$dir/w.bin" "$dst"
  end_case
}

# A short read before the end of the source, on the main thread.
scenario_short_read() {
  new_case short-read
  make_source "$dir/r.bin" $((1048576 + 3))
  with_shim FERRUX_SHIM_SHORT_READ=5
  run_ferrux "$dir/r.bin" "$dst" 4096
  check "report" output_ends_with "Exception Exception${nl}Readed less then full buffer"
  check "resumable" resumable "$dir/r.bin" "$dst/r.bin"
  check "rerun completes" rerun_completes "$dir/r.bin" "$dst" 4096
  end_case
}
