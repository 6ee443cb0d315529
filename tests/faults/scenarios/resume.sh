# A resumed run goes on only with the source and the partial copy it began
# with, and a hiccup while opening never empties a partial copy: each case
# starts from a copy stopped at 2 MiB of 4 MiB, its size file written as
# the manual lays it out.

# SRC DSTDIR STAMPED [whole-seconds]: a new source SRC (its time in whole
# seconds if asked) of which NAME.tmp holds the first 2 MiB and NAME.size
# the count, with the stamp of SRC (its size and time in ns) when STAMPED
# is "stamped".
stopped_copy() {
  local final=$2/$(basename "$1")
  make_source "$1" $((4 * 1048576 + 1000))
  [[ -z ${4:-} ]] || touch -d "@$(stat -c %Y "$1")" "$1"
  head -c $((2 * 1048576)) "$1" >"$final.tmp"
  perl -e 'print pack("q<", 2097152), @ARGV ? pack("a4q<q<", "FXS1", @ARGV) : ""' \
    $([[ $3 == stamped ]] && stat -c '%s %.9Y' "$1" | tr -d .) >"$final.size"
}

# The destination as it is: its names, and the bytes of the temporary and
# size files.
partial_copy() { ls "$dst"; cat "$dst/r.bin.tmp" "$dst/r.bin.size" | sha256sum; }

# Changes to the stopped copy, and the report they earn. (Resuming an
# unchanged one, with a stamped or an older size file, is a row of the
# end-to-end table; a replaced, touched or rewritten source meets the
# explorer's stopped copies.)
# "keep-time" puts the source's former time back after the change.
declare -A resume_report=(
  [mismatch]="Temporary Target File does not match Source File, delete .tmp and .size files to start over"
)
resume_rows=(
  "source-edited-before-count|stamped|edit keep-time|mismatch"
  "tmp-replaced|stamped|tmp|mismatch"
  "older-size-file-source-replaced|plain|replace|mismatch"
)

scenario_resume_checks_its_source() {
  local row name kind changes report src before
  for row in "${resume_rows[@]}"; do
    IFS='|' read -r name kind changes report <<<"$row"
    new_case "resume-$name"
    src=$dir/r.bin
    stopped_copy "$src" "$dst" "$kind"
    touch -r "$src" "$dir/time"
    [[ $changes == *replace* ]] && make_source "$src" $((4 * 1048576 + 1000))
    [[ $changes == *edit* ]] &&
      printf x | dd of="$src" bs=1 seek=$((2 * 1048576 - 10)) conv=notrunc status=none
    [[ $changes == *keep-time* ]] && touch -r "$dir/time" "$src"
    [[ $changes == *tmp* ]] && make_source "$dst/r.bin.tmp" $((2 * 1048576))
    before=$(partial_copy)
    run_ferrux "$src" "$dst" 1048576
    check "report" output_ends_with "Source File: \"$src\"${nl}Exception Exception${nl}${resume_report[$report]}"
    check "status" test "$status" -eq 1
    check "nothing touched or made" test "$(partial_copy)" = "$before"
    end_case
  done
}

# The open of the existing NAME.tmp or NAME.size fails once, as on a share
# that hiccups: reported, nothing created, emptied or changed, and the
# rerun resumes.
scenario_open_hiccup() {
  local which nth before
  for which in tmp size; do
    new_case "open-hiccup-$which"
    stopped_copy "$dir/r.bin" "$dst" stamped
    # Which open it is: a run whose target folder is missing ends at the
    # open of NAME.tmp; NAME.size is the next one.
    strace -f -qq -o "$dir/opens" -e trace=openat "$program" "$dir/r.bin" "$dir/none" >/dev/null
    nth=$(grep -n -m 1 'r.bin.tmp"' "$dir/opens" | cut -d: -f1)
    [[ $which == size ]] && nth=$((nth + 1))
    before=$(partial_copy)
    inject -e trace=openat -e inject=openat:error=ENOTCONN:when="$nth"
    run_ferrux "$dir/r.bin" "$dst" 1048576
    check "report" output_ends_with "Exception EInOutError${nl}I/O error 64"
    check "nothing touched or made" test "$(partial_copy)" = "$before"
    check "rerun completes" rerun_completes "$dir/r.bin" "$dst" 1048576
    check "rerun resumes" output_has "Restart from $((2 * 1048576))$nl"
    end_case
  done
}
