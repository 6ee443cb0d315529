# Failures in the middle of a copy: on the writer thread they end the
# process from there with the unhandled-failure report (exit status 1), on
# the main thread with the failure report; either way everything stays
# resumable and the rerun completes. The test shim also throws an
# exception that is none of the program's own, which is reported all the
# same. In the rows, ~ stands for a line end.
#
# A target whose file system refuses O_DIRECT is written through the cache,
# each block's write-back started and the one before waited for
# (sync_file_range): a failed write-back shows only there, so it fails the
# run, mid-copy or at the last block. Of a copy of 49 blocks, call 40
# starts block 21's write-back; call 97 is the last, the wait for block 48.
#
# The flushes of finishing fail: of the target before the rename (a copy
# in one piece, one by blocks), and of the size file that marks a resumed
# copy complete; nothing is renamed.
#
# The shim's reads reach the source only where O_DIRECT is refused (else
# it is read with reads that run ahead, as on a share).
#
# A share (faultfs) whose reads come back half full: the reads run ahead
# there, and the copy stops at the first short one. A full volume refuses
# the space reserved up front (fallocate): "volume full" before the first
# block.

failure_rows=(
  "short-write|with_shim FERRUX_SHIM_WRITE=3:half|4096|Exception in module ferrux at [0-9A-F]{8}\.~Not all bytes written: 2048\."
  "write-error|with_shim FERRUX_SHIM_WRITE=40:5|65536|Exception EInOutError in module ferrux at [0-9A-F]{8}\.~I/O error 1117\."
  "foreign-on-writer|with_shim FERRUX_SHIM_WRITE=40:throw|65536|Exception std::length_error in module ferrux at 00000000\.~from the test shim\."
  "write-back-fails|with_shim FERRUX_SHIM_REFUSE_DIRECT=1; inject -e trace=sync_file_range -e inject=sync_file_range:error=EIO:when=40|65536|Exception EInOutError in module ferrux at [0-9A-F]{8}\.~I/O error 1117\."
  "last-write-back-fails|with_shim FERRUX_SHIM_REFUSE_DIRECT=1; inject -e trace=sync_file_range -e inject=sync_file_range:error=EIO:when=97|65536|Exception EInOutError in module ferrux at [0-9A-F]{8}\.~I/O error 1117\."
  "short-read|with_shim FERRUX_SHIM_READ=5:half FERRUX_SHIM_REFUSE_DIRECT=1|4096|~Exception Exception~Readed less then full buffer"
  "empty-read|with_shim FERRUX_SHIM_READ=5:none FERRUX_SHIM_REFUSE_DIRECT=1|4096|~Exception Exception~0 bytes readed"
  "foreign-on-main|with_shim FERRUX_SHIM_READ=5:throw FERRUX_SHIM_REFUSE_DIRECT=1|4096|~Exception std::length_error~from the test shim"
  "share-short-reads|source_on_faultfs short_reads|65536|~Exception Exception~(0 bytes readed|Readed less then full buffer)"
  "volume-full|inject -e trace=fallocate -e inject=fallocate:error=ENOSPC|65536|Target File Preallocation\.\.\.Exception EInOutError~I/O error 112"
  "flush-in-one-piece|inject -e trace=fsync -e inject=fsync:error=EIO:when=1|4194304|Size Set\.\.\.Ok~Exception EWin32Error~Win32 Error\.  Code: 1117\.~Input/output error"
  "flush-before-rename|inject -e trace=fsync -e inject=fsync:error=EIO:when=1|65536|Size Set\.\.\.Ok~Exception EWin32Error~Win32 Error\.  Code: 1117\.~Input/output error"
  "flush-of-the-mark|stopped_copy \$src \$dst stamped; inject -e trace=fdatasync -e inject=fdatasync:error=EIO:when=1|65536|Size Set\.\.\.Ok~Exception EWin32Error~Win32 Error\.  Code: 1117\.~Input/output error"
)

# The source $src is moved onto a faultfs mount with OPTIONS.
source_on_faultfs() {  # OPTIONS
  fuse_ready && mv "$src" "$back/" && share_up "$1" && src=$mnt/w.bin
}

scenario_failures_in_the_copy() {
  local row name setup block report src
  for row in "${failure_rows[@]}"; do
    IFS='|' read -r name setup block report <<<"$row"
    new_case "$name"
    src=$dir/w.bin faultfs_pid=
    make_source "$src" $((3 * 1048576 + 3))
    eval "$setup" || { [[ $case_ok -eq 1 ]] || end_case; continue; }  # skipped, or failed
    run_ferrux "$src" "$dst" "$block"
    check "report" output_matches "${report//\~/$nl}\$"
    [[ -z $faultfs_pid ]] || { share_down && share_up ""; }
    check "resumable" resumable "$src" "$dst/w.bin"
    check "rerun completes" rerun_completes "$src" "$dst" 8192
    [[ -z $faultfs_pid ]] || share_down
    end_case
  done
}
