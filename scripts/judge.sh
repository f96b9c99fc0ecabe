# The judge of what /data kept after a fault during an installation (sourced by scripts/faults
# in its sandbox and by the emulated router's init under busybox sh: sh with "local" only):
# classify KIND_DIR compares /data with the kind's references (KIND_DIR/old, KIND_DIR/new, the
# records KIND_DIR/old.bootchk and KIND_DIR/new.bootchk, the file list KIND_DIR/files) and
# prints old, new, unrecorded, window, lost, mixed or corrupt (scripts/faults tells what each
# means).
# shellcheck shell=dash

# Whether the extraction tool's staging directory is still there.
staging_left() {
    [ -e /data/.m01_load.new ]
}

# Whether the extraction tool has journaled its moves into place (a kept old entry or a
# marker for an added one): the moves follow at once.
journal_written() {
    [ -n "$(find /data/.m01_load.new/kept /data/.m01_load.new/added -mindepth 1 -print -quit \
        2>/dev/null)" ]
}

# old, new, unrecorded, window, lost, mixed or corrupt: what /data holds against the two
# references.
classify() {
    local kind_dir=$1
    local files=0 old=0 new=0 lost=0 corrupt=0 name
    while IFS= read -r name; do
        files=$((files + 1))
        local here="/data/$name" before="$kind_dir/old/$name" after="$kind_dir/new/$name"
        if [ ! -e "$here" ]; then
            if [ -e "$before" ] && [ -e "$after" ]; then lost=$((lost + 1))
            elif [ ! -e "$before" ]; then old=$((old + 1))
            else new=$((new + 1)); fi
        elif [ -e "$before" ] && cmp -s "$here" "$before"; then old=$((old + 1))
        elif [ -e "$after" ] && cmp -s "$here" "$after"; then new=$((new + 1))
        else corrupt=$((corrupt + 1)); fi
    done < "$kind_dir/files"
    local record=corrupt
    if [ ! -e /data/.bootchk ]; then record=lost
    elif cmp -s /data/.bootchk "$kind_dir/old.bootchk"; then record=old
    elif cmp -s /data/.bootchk "$kind_dir/new.bootchk"; then record=new
    fi
    if [ "$corrupt" -gt 0 ] || [ "$record" = corrupt ]; then echo corrupt
    elif [ "$lost" -gt 0 ] || [ "$record" = lost ]; then echo lost
    elif [ "$old" -ne "$files" ] && [ "$new" -ne "$files" ]; then
        if staging_left; then echo window; else echo mixed; fi
    elif [ "$record" = new ] && [ "$new" -ne "$files" ]; then echo mixed
    elif [ "$new" -eq "$files" ]; then
        if [ "$record" = new ]; then echo new; else echo unrecorded; fi
    else echo old
    fi
}
