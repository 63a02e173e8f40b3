#!/usr/bin/env bash
# The qvr tool under faults, run as a user runs it:
#   full_device          output to a full device fails with a clear message
#   read_only_folder     extraction into and creation in a folder that cannot
#                        be written fail with a clear message, leaving nothing
#   killed_extraction    a run killed part way leaves no incomplete file under
#                        a final name, and a second run completes the rest
#   killed_creation      likewise for a new archive, and for one replaced
#   killed_change        add, delete and rename killed part way leave the
#                        old archive exactly as it was; stopped by SIGTERM
#                        or failing to read it, no temporary file either
#   interrupted_cleanup  a run stopped by SIGINT, SIGTERM or SIGHUP also
#                        removes its temporary files
#   (the kills and signals come at chosen calls, delivered by strace)
#   signal_at_temp_creation  ... even when the signal comes the moment a
#                        temporary file has been created (strace delivers it
#                        exactly then)
#   change_safety        a second user swapping the archive for a link, ten
#                        changes at once, the sync order, owner and mode,
#                        hard-linked and read-only archives, inputs swapped
#                        or growing while they are read
#
# Usage: faults.sh QVR_BINARY CASE
# Exit status: 0 passed, 1 failed, 77 skipped (what the case needs is missing).
# Cases that need a full or read-only file system make one: a small tmpfs in
# a private mount namespace (root), else that part is skipped.
set -uo pipefail
# ** in the globs that watch for temporary outputs reaches into subfolders.
shopt -s globstar

qvr=$1
case_name=$2
failures=0
checks=0

scratch=$(mktemp -d "${TMPDIR:-/tmp}/qvr-faults.XXXXXX")
chmod 755 "$scratch"
cleanup() {
    chmod -R u+w "$scratch" 2>/dev/null
    umount -q "$scratch"/mnt-* 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
pass() {
    echo "ok: $*"
}
note() { echo "    $*"; }

# Runs the tool with stdout to $1; the rest are its arguments. Sets $status,
# and $message to what it wrote on standard error.
run_tool() {
    local out=$1
    shift
    "$qvr" "$@" >"$out" 2>"$scratch/stderr"
    status=$?
    message=$(cat "$scratch/stderr")
}

# The run must have failed the ordinary way (status 1 or 2, not a signal or
# a sanitizer's abort), with a message that starts with "qvr:" and says
# $1 (an extended regular expression).
expect_clear_failure() {
    local what=$1 why=$2
    checks=$((checks + 1))
    if [[ $status -eq 0 ]]; then
        fail "$what: exit status 0 (the failure went unreported); stderr: '${message}'"
    elif [[ $status -ne 1 && $status -ne 2 ]]; then
        fail "$what: exit status $status, not 1 or 2; stderr: '${message}'"
    elif [[ -z $message ]]; then
        fail "$what: exit status $status but no message"
    elif ! grep -qE '^qvr: ' <<<"$message" || ! grep -qiE "$why" <<<"$message"; then
        fail "$what: the message does not say /$why/: '${message}'"
    else
        pass "$what: status $status, '$(head -n 1 <<<"$message")'"
    fi
}

# Deterministic contents, different for every file: NAME SIZE.
make_file() {
    mkdir -p "$(dirname "$1")"
    local seed
    seed=$(printf '%s' "$1" | cksum | cut -d' ' -f1)
    # A pattern that no two files share, written fast at any size.
    { printf 'qvr fault test file %s seed %s\n' "$1" "$seed"; yes "$seed $1 0123456789abcdefghijklmnopqrstuvwxyz"; } |
        head -c "$2" >"$1"
}

# A small tree and its archive, for the cases that need only some output.
make_small() {
    make_file "$scratch/small/readme.txt" 1000
    make_file "$scratch/small/sub/data.bin" 300000
    make_file "$scratch/small/sub/empty" 0
    "$qvr" create -q "$scratch/small.qvr" -C "$scratch/small" . || { echo "cannot create the small archive" >&2; exit 1; }
}

# A few large files among small ones. Runs are stopped at exact calls and
# exact bytes, not after a while, so the large files need only be larger
# than the byte limits the cases set; more size would buy only time.
make_large() {
    local i
    for i in 1 2 3 4; do make_file "$scratch/large/big$i.bin" $((8 * 1024 * 1024)); done
    for i in $(seq 1 40); do make_file "$scratch/large/small/f$i.txt" $((i * 997)); done
    "$qvr" create -q "$scratch/large.qvr" -C "$scratch/large" . || { echo "cannot create the large archive" >&2; exit 1; }
}

# Every file under a final name in $1 must equal its source in $2. Prints how
# many were complete, and how many other files (temporaries) were left.
check_final_names() {
    local out=$1 src=$2 label=$3 complete=0 others=0 f rel
    while IFS= read -r -d '' f; do
        rel=${f#"$out"/}
        if [[ -f $src/$rel ]] && [[ $(basename "$rel") != .* ]]; then
            checks=$((checks + 1))
            if cmp -s "$f" "$src/$rel"; then
                complete=$((complete + 1))
            else
                fail "$label: '$rel' exists under its final name but is incomplete ($(stat -c %s "$f") of $(stat -c %s "$src/$rel") bytes)"
            fi
        else
            others=$((others + 1))
        fi
    done < <(find "$out" -type f -print0 2>/dev/null)
    final_complete=$complete
    final_others=$others
}

# Runs stop at an exact point, never at a moment chosen by a clock: strace
# delivers the signal as the tool makes its Nth call of the system call that
# moves file data, so the same run is caught at the same place on a busy
# machine and on a quiet one.
need_strace() { command -v strace >/dev/null || { note "skipped: needs strace"; exit 77; }; }

# LeakSanitizer cannot work under ptrace: in a sanitizer build it would fail
# every traced run at its exit (and its message would count as a write), so
# traced runs go without it.
traced() { ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" strace "$@"; }

# Which call moves the data in a run of the tool with these arguments, and
# how often it comes: sets $data_call and $data_calls. The run's output is
# left for the caller to clear.
find_data_call() {
    traced -f -qq -c -o "$scratch/calls" -e trace=copy_file_range,sendfile,pwrite64,write "$qvr" "$@" >/dev/null 2>&1
    # strace -c: % time, seconds, usecs/call, calls, [errors,] syscall.
    read -r data_calls data_call < <(awk '$NF ~ /^(copy_file_range|sendfile|pwrite64|write)$/ { print $4, $NF }' \
        "$scratch/calls" | sort -n -r | head -n 1)
    [[ -n ${data_call:-} && ${data_calls:-0} -gt 0 ]] || { fail "no data call seen in a run of: $*"; exit 1; }
}

# Runs the tool and sends signal $1 as it makes data call number $2 (of the
# kind find_data_call chose). Sets $status; the rest are the tool's arguments.
run_signalled_at() {
    local signal=$1 when=$2
    shift 2
    traced -f -qq -o /dev/null -e trace="$data_call" -e inject="$data_call":signal="SIG$signal":when="$when" \
        "$qvr" "$@" >/dev/null 2>"$scratch/stderr"
    status=$?
}

# Where to stop a run of $1 data calls: the first, one in the middle, the last.
stop_points() { printf '%s\n' 1 $((($1 + 1) / 2)) "$1" | sort -n -u; }

# Runs the tool with a limit on the size of the files it writes ($1 bytes):
# the write that would pass it kills the tool with SIGXFSZ, at that byte.
run_with_file_limit() {
    local limit=$1
    shift
    (ulimit -c 0 && ulimit -f $((limit / 1024)) && exec "$qvr" "$@") >/dev/null 2>"$scratch/stderr"
    status=$?
}

# A private mount namespace where this script can mount small file systems.
in_namespace() { [[ -n ${QVR_FAULTS_NAMESPACE:-} ]]; }
enter_namespace() {
    if in_namespace; then return 0; fi
    if [[ $(id -u) -eq 0 ]] && unshare -m true 2>/dev/null; then
        rm -rf "$scratch"
        trap - EXIT
        exec unshare -m env QVR_FAULTS_NAMESPACE=1 bash "$0" "$qvr" "$case_name"
    fi
}
# mount_tmpfs NAME OPTIONS: a tmpfs at $scratch/mnt-NAME, or false.
mount_tmpfs() {
    in_namespace || return 1
    mkdir -p "$scratch/mnt-$1"
    mount -t tmpfs -o "$2" "qvr-faults-$1" "$scratch/mnt-$1" 2>/dev/null
}

case_full_device() {
    make_small
    # Each command that prints something must fail when it cannot.
    local args
    for args in "extract -O $scratch/small.qvr" "extract -O $scratch/small.qvr readme.txt" \
                "list $scratch/small.qvr" "list -l $scratch/small.qvr" "list --json $scratch/small.qvr" \
                "test $scratch/small.qvr"; do
        # shellcheck disable=SC2086
        run_tool "$scratch/probe.out" $args
        if [[ $status -ne 0 || ! -s $scratch/probe.out ]]; then
            fail "qvr $args: cannot check it, it failed or printed nothing on an ordinary run (status $status)"
            continue
        fi
        # shellcheck disable=SC2086
        run_tool /dev/full $args
        expect_clear_failure "qvr $args > /dev/full" 'space|full|write'
    done

    # A file system that fills up while files are written into it.
    if mount_tmpfs full size=256k; then
        local fs=$scratch/mnt-full
        run_tool /dev/null extract "$scratch/small.qvr" -C "$fs/out"
        expect_clear_failure "extract into a full file system" 'space|full'
        check_final_names "$fs/out" "$scratch/small" "extract into a full file system"
        checks=$((checks + 1))
        if [[ $final_others -ne 0 ]]; then
            fail "extract into a full file system: $final_others temporary files left behind"
        fi

        rm -rf "${fs:?}"/*
        run_tool /dev/null create "$fs/new.qvr" -C "$scratch/small" .
        expect_clear_failure "create on a full file system" 'space|full'
        checks=$((checks + 1))
        if [[ -n $(ls -A "$fs") ]]; then
            fail "create on a full file system left: $(ls -A "$fs" | tr '\n' ' ')"
        fi

        # A change that does not fit leaves the old archive as it was.
        rm -rf "${fs:?}"/*
        "$qvr" create -q "$fs/old.qvr" -C "$scratch/small" readme.txt || fail "create a small archive on the tmpfs"
        cp "$fs/old.qvr" "$scratch/old-copy.qvr"
        run_tool /dev/null add "$fs/old.qvr" -C "$scratch/small" sub/data.bin
        expect_clear_failure "add on a full file system" 'space|full'
        checks=$((checks + 1))
        if ! cmp -s "$fs/old.qvr" "$scratch/old-copy.qvr"; then
            fail "add on a full file system: old.qvr was changed"
        elif [[ $(ls -A "$fs") != old.qvr ]]; then
            fail "add on a full file system left: $(ls -A "$fs" | tr '\n' ' ')"
        fi
    else
        note "skipped: a full file system (needs root and a private mount namespace)"
    fi
}

case_read_only_folder() {
    make_small
    local tried=0

    # A folder without write permission. Root is not held back by it, so
    # the tool then runs as nobody.
    local ro=$scratch/ro as=()
    mkdir -p "$ro"
    chmod 555 "$ro"
    if [[ $(id -u) -eq 0 ]]; then
        if command -v setpriv >/dev/null && setpriv --reuid=65534 --regid=65534 --clear-groups true 2>/dev/null; then
            as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
        else
            as=(skip)
        fi
    fi
    if [[ ${as[0]:-} != skip ]]; then
        tried=1
        "${as[@]}" "$qvr" extract "$scratch/small.qvr" -C "$ro" >/dev/null 2>"$scratch/stderr"
        status=$? message=$(cat "$scratch/stderr")
        expect_clear_failure "extract into a folder without write permission" 'permission|denied|cannot'
        "${as[@]}" "$qvr" extract "$scratch/small.qvr" -C "$ro/new" >/dev/null 2>"$scratch/stderr"
        status=$? message=$(cat "$scratch/stderr")
        expect_clear_failure "extract into a new folder inside one without write permission" 'permission|denied|cannot'
        "${as[@]}" "$qvr" create "$ro/new.qvr" -C "$scratch/small" . >/dev/null 2>"$scratch/stderr"
        status=$? message=$(cat "$scratch/stderr")
        expect_clear_failure "create in a folder without write permission" 'permission|denied|cannot'
        checks=$((checks + 1))
        [[ -z $(ls -A "$ro") ]] || fail "the folder without write permission now holds: $(ls -A "$ro" | tr '\n' ' ')"
    else
        note "skipped: a folder without write permission (root, and cannot run as nobody)"
    fi

    # A folder on a read-only file system: refused to root as well.
    if mount_tmpfs ro ro,size=64k; then
        tried=1
        local fs=$scratch/mnt-ro
        run_tool /dev/null extract "$scratch/small.qvr" -C "$fs"
        expect_clear_failure "extract onto a read-only file system" 'read-only|cannot'
        run_tool /dev/null extract "$scratch/small.qvr" -C "$fs/new"
        expect_clear_failure "extract into a new folder on a read-only file system" 'read-only|cannot'
        run_tool /dev/null create "$fs/new.qvr" -C "$scratch/small" .
        expect_clear_failure "create on a read-only file system" 'read-only|cannot'
    else
        note "skipped: a read-only file system (needs root and a private mount namespace)"
    fi
    [[ $tried -eq 1 ]] || exit 77
}

case_killed_extraction() {
    need_strace
    make_large
    local total out when runs=0
    total=$(find "$scratch/large" -type f | wc -l)
    out=$scratch/out-probe
    mkdir -p "$out"
    find_data_call extract -q "$scratch/large.qvr" -C "$out"
    rm -rf "$out"
    # Killed as it moves the data of the first file, of one in the middle and of the last ...
    for when in $(stop_points "$data_calls"); do
        out=$scratch/out-$runs
        mkdir -p "$out"
        run_signalled_at KILL "$when" extract -q "$scratch/large.qvr" -C "$out"
        runs=$((runs + 1))
        checks=$((checks + 1))
        [[ $status -eq $((128 + 9)) ]] || fail "extract killed at $data_call $when of $data_calls: status $status, not killed"
        check_final_names "$out" "$scratch/large" "extract killed at $data_call $when of $data_calls"
        note "killed at $data_call $when of $data_calls: $final_complete of $total files complete under final names, $final_others temporary files left"
        checks=$((checks + 1))
        [[ $final_others -eq 0 ]] || fail "extract killed at $data_call $when of $data_calls left $final_others temporary files"
        # Run again over what the killed run left: everything is there and
        # whole afterwards.
        "$qvr" extract -q --overwrite "$scratch/large.qvr" -C "$out" 2>"$scratch/stderr"
        status=$?
        check_final_names "$out" "$scratch/large" "extract run again after a kill"
        checks=$((checks + 1))
        [[ $status -eq 0 && $final_complete -eq $total ]] ||
            fail "extract run again after a kill: status $status, $final_complete of $total files complete; $(head -n 3 "$scratch/stderr")"
        rm -rf "$out"
    done
    pass "$runs extractions killed part way; no incomplete file under a final name, no temporary file"

    # ... and killed by the system at an exact byte, inside a large file.
    for limit in 1048576 $((5 * 1048576)); do
        out=$scratch/out-limit
        mkdir -p "$out"
        run_with_file_limit "$limit" extract -q -j 1 "$scratch/large.qvr" -C "$out"
        check_final_names "$out" "$scratch/large" "extract killed at byte $limit of a file"
        checks=$((checks + 1))
        if [[ $status -ne $((128 + 25)) ]]; then
            fail "extract under a $limit-byte file limit: status $status, not killed by SIGXFSZ"
        else
            pass "extract killed writing byte $limit of a file: $final_complete of $total files complete, $final_others temporary files left, none incomplete under its final name"
        fi
        rm -rf "$out"
    done
}

case_killed_creation() {
    need_strace
    make_small
    make_large
    "$qvr" create -q "$scratch/reference.qvr" -C "$scratch/large" . || fail "create without interruption"
    local size when runs=0 dir=$scratch/new
    size=$(stat -c %s "$scratch/reference.qvr")
    mkdir -p "$dir"
    find_data_call create -q "$dir/new.qvr" -C "$scratch/large" .
    for when in $(stop_points "$data_calls"); do
        # A new archive, killed while it is being written.
        rm -rf "$dir"
        mkdir -p "$dir"
        run_signalled_at KILL "$when" create -q "$dir/new.qvr" -C "$scratch/large" .
        runs=$((runs + 1))
        checks=$((checks + 1))
        [[ $status -eq $((128 + 9)) ]] || fail "create killed at $data_call $when of $data_calls: status $status, not killed"
        # Killed at its last calls, the run may have put the whole archive in place.
        if [[ -e $dir/new.qvr ]] && ! cmp -s "$dir/new.qvr" "$scratch/reference.qvr"; then
            fail "create killed at $data_call $when of $data_calls: new.qvr exists but is incomplete ($(stat -c %s "$dir/new.qvr") of $size bytes)"
        fi
        checks=$((checks + 1))
        [[ -z $(find "$dir" -name '.qvr-*') ]] ||
            fail "create killed at $data_call $when of $data_calls left: $(find "$dir" -name '.qvr-*' | tr '\n' ' ')"

        # Replacing an archive: killed part way, the old one stays whole.
        rm -rf "$dir"
        mkdir -p "$dir"
        cp "$scratch/small.qvr" "$dir/old.qvr"
        run_signalled_at KILL "$when" create -q --overwrite "$dir/old.qvr" -C "$scratch/large" .
        checks=$((checks + 1))
        if ! cmp -s "$dir/old.qvr" "$scratch/small.qvr" && ! cmp -s "$dir/old.qvr" "$scratch/reference.qvr"; then
            fail "create --overwrite killed at $data_call $when of $data_calls: old.qvr is neither the old archive nor the new one"
        elif [[ $(ls -A "$dir") != old.qvr ]]; then
            fail "create --overwrite killed at $data_call $when of $data_calls left: $(ls -A "$dir" | tr '\n' ' ')"
        fi
    done
    pass "$runs creations killed part way; no incomplete archive under its final name, the replaced one whole"

    # Killed by the system at exact bytes: inside the directory, inside the
    # data, and one byte short of the end.
    for limit in 1024 $((size / 2)) $((size - 1)); do
        rm -rf "$dir"
        mkdir -p "$dir"
        cp "$scratch/small.qvr" "$dir/old.qvr"
        run_with_file_limit "$limit" create -q "$dir/new.qvr" -C "$scratch/large" .
        local first=$status
        run_with_file_limit "$limit" create -q --overwrite "$dir/old.qvr" -C "$scratch/large" .
        checks=$((checks + 1))
        if [[ $first -ne $((128 + 25)) || $status -ne $((128 + 25)) ]]; then
            fail "create under a $limit-byte file limit: status $first and $status, not killed by SIGXFSZ"
        elif [[ -e $dir/new.qvr ]]; then
            fail "create killed at byte $limit: new.qvr exists ($(stat -c %s "$dir/new.qvr") of $size bytes)"
        elif ! cmp -s "$dir/old.qvr" "$scratch/small.qvr"; then
            fail "create --overwrite killed at byte $limit: old.qvr was changed"
        else
            pass "create killed at byte $limit: no new.qvr, old.qvr untouched by the replacement"
        fi
    done
}

# The arguments of one change of $dir/old.qvr, a copy of the large archive,
# in $args.
change_args() {
    case $1 in
        add) args=(add -q "$dir/old.qvr" -C "$scratch/added" big5.bin big1.bin) ;;
        delete) args=(delete -q "$dir/old.qvr" big2.bin) ;;
        rename) args=(rename -q "$dir/old.qvr" big3.bin renamed.bin) ;;
    esac
}
fresh_copy() {
    rm -rf "$dir"
    mkdir -p "$dir"
    cp "$scratch/large.qvr" "$dir/old.qvr"
}

case_killed_change() {
    need_strace
    make_large
    make_file "$scratch/added/big5.bin" $((4 * 1024 * 1024))
    make_file "$scratch/added/big1.bin" $((2 * 1024 * 1024))
    local dir=$scratch/change command when runs=0
    local -a args
    for command in add delete rename; do
        change_args "$command"
        # Not stopped, the change is made and the archive is sound; it is
        # what a run killed after its last step may leave.
        fresh_copy
        checks=$((checks + 1))
        "$qvr" "${args[@]}" 2>"$scratch/stderr" && "$qvr" test -q "$dir/old.qvr" ||
            fail "$command run whole: $(head -n 3 "$scratch/stderr")"
        cmp -s "$dir/old.qvr" "$scratch/large.qvr" && fail "$command run whole: the archive did not change"
        cp "$dir/old.qvr" "$scratch/changed.qvr"
        fresh_copy
        find_data_call "${args[@]}"
        for when in $(stop_points "$data_calls"); do
            fresh_copy
            run_signalled_at KILL "$when" "${args[@]}"
            runs=$((runs + 1))
            checks=$((checks + 1))
            if [[ $status -ne $((128 + 9)) ]]; then
                fail "$command killed at $data_call $when of $data_calls: status $status, not killed"
            elif ! cmp -s "$dir/old.qvr" "$scratch/large.qvr" && ! cmp -s "$dir/old.qvr" "$scratch/changed.qvr"; then
                fail "$command killed at $data_call $when of $data_calls: old.qvr is neither the old archive nor the changed one"
            elif [[ $(ls -A "$dir") != old.qvr ]]; then
                fail "$command killed at $data_call $when of $data_calls left: $(ls -A "$dir" | tr '\n' ' ')"
            fi
        done
        fresh_copy
        when=$(((data_calls + 1) / 2))
        run_signalled_at TERM "$when" "${args[@]}"
        checks=$((checks + 1))
        if [[ $status -eq 0 ]]; then
            fail "$command stopped by SIGTERM at $data_call $when of $data_calls exited with status 0"
        elif ! cmp -s "$dir/old.qvr" "$scratch/large.qvr"; then
            fail "$command stopped by SIGTERM at $data_call $when of $data_calls: old.qvr is not the old archive"
        elif [[ $(ls -A "$dir") != old.qvr ]]; then
            fail "$command stopped by SIGTERM left: $(ls -A "$dir" | tr '\n' ' ')"
        fi
        # A read error as the old data are copied: the same, with a message.
        fresh_copy
        traced -f -qq -o /dev/null -e trace=copy_file_range -e inject=copy_file_range:error=EIO:when=1 \
            "$qvr" "${args[@]}" >/dev/null 2>"$scratch/stderr"
        status=$?
        checks=$((checks + 1))
        if [[ $status -ne 1 ]] || ! grep -q 'Input/output error' "$scratch/stderr"; then
            fail "$command with a read error: status $status; $(head -n 2 "$scratch/stderr")"
        elif ! cmp -s "$dir/old.qvr" "$scratch/large.qvr" || [[ $(ls -A "$dir") != old.qvr ]]; then
            fail "$command with a read error: old.qvr changed or left beside: $(ls -A "$dir" | tr '\n' ' ')"
        fi
    done
    pass "$runs changes killed part way, 3 stopped by SIGTERM, 3 failing to read; never an incomplete archive, no temporary file after SIGTERM or the read error"
}

case_interrupted_cleanup() {
    need_strace
    make_large
    local signal out dir when extract_calls extract_call create_calls create_call
    out=$scratch/out-probe
    mkdir -p "$out"
    find_data_call extract -q "$scratch/large.qvr" -C "$out"
    extract_calls=$data_calls extract_call=$data_call
    dir=$scratch/new-probe
    mkdir -p "$dir"
    find_data_call create -q "$dir/new.qvr" -C "$scratch/large" .
    create_calls=$data_calls create_call=$data_call
    for signal in INT TERM HUP; do
        out=$scratch/out-$signal
        mkdir -p "$out"
        data_call=$extract_call
        when=$(((extract_calls + 1) / 2))
        run_signalled_at "$signal" "$when" extract -q "$scratch/large.qvr" -C "$out"
        check_final_names "$out" "$scratch/large" "extract stopped by SIG$signal"
        checks=$((checks + 1))
        if [[ $status -eq 0 ]]; then
            fail "extract stopped by SIG$signal at $data_call $when of $extract_calls exited with status 0"
        elif [[ $final_complete -eq $(find "$scratch/large" -type f | wc -l) ]]; then
            fail "extract stopped by SIG$signal at $data_call $when of $extract_calls still wrote every file"
        elif [[ $final_others -ne 0 ]]; then
            fail "extract stopped by SIG$signal left $final_others temporary files: $(find "$out" -name '.*' -type f | tr '\n' ' ')"
        else
            pass "extract stopped by SIG$signal at $data_call $when of $extract_calls: status $status, $final_complete complete files, no temporary file left"
        fi

        dir=$scratch/new-$signal
        mkdir -p "$dir"
        data_call=$create_call data_calls=$create_calls
        when=$(((data_calls + 1) / 2))
        run_signalled_at "$signal" "$when" create -q "$dir/new.qvr" -C "$scratch/large" .
        checks=$((checks + 1))
        if [[ $status -eq 0 ]]; then
            fail "create stopped by SIG$signal at $data_call $when of $data_calls exited with status 0"
        elif [[ -n $(ls -A "$dir") ]]; then
            fail "create stopped by SIG$signal left: $(ls -A "$dir" | tr '\n' ' ')"
        else
            pass "create stopped by SIG$signal at $data_call $when of $data_calls: status $status, nothing left"
        fi
    done
}

# The signal arrives as the call that creates the temporary output returns:
# the one moment a cleanup that learns of the file only afterwards misses.
case_signal_at_temp_creation() {
    command -v strace >/dev/null || { note "skipped: needs strace"; exit 77; }
    make_small
    local what args n dir=$scratch/at
    for what in extract create; do
        rm -rf "$dir"
        mkdir -p "$dir"
        if [[ $what == extract ]]; then
            args=(extract -q -j 1 "$scratch/small.qvr" -C "$dir")
        else
            args=(create -q "$dir/new.qvr" -C "$scratch/small" .)
        fi
        # Which openat creates it: the calls come in the same order every run.
        traced -f -qq -o "$scratch/trace" -e trace=openat "$qvr" "${args[@]}" 2>/dev/null
        # (nameless where the system allows it, else under a name of its own)
        n=$(grep -v 'resumed>' "$scratch/trace" | grep -n 'openat(' | grep -m1 -E 'O_TMPFILE|O_CREAT' | cut -d: -f1)
        [[ -n $n ]] || { fail "$what: no openat creating a file seen; cannot aim the signal"; continue; }
        rm -rf "$dir"
        mkdir -p "$dir"
        traced -f -qq -o /dev/null -e trace=openat -e inject=openat:signal=SIGTERM:when="$n" \
            "$qvr" "${args[@]}" 2>/dev/null
        status=$?
        checks=$((checks + 1))
        if [[ $status -ne 143 ]]; then
            fail "$what: SIGTERM at the creation of its temporary file: status $status, not 143"
        elif [[ -n $(ls -A "$dir") ]]; then
            fail "$what: SIGTERM as its temporary file was created left: $(ls -A "$dir" | tr '\n' ' ')"
        else
            pass "$what: SIGTERM as its temporary file was created: status 143, nothing left"
        fi
    done
}

# What a change promises to other people's archives, one row each. The
# moments between loading the archive and renaming the new one over it are
# reached exactly: with QVR_STOP_AT=STEP the tool stops itself there, the
# row changes the files around it, then lets it go on.
need_user_drop() {
    if [[ $(id -u) -ne 0 ]] || ! setpriv --reuid=65534 --regid=65534 --clear-groups true 2>/dev/null; then
        note "skipped: needs root and setpriv to act as a second user"
        exit 77
    fi
}
as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$@"; }

# Waits until process $1 has stopped itself; false if it ended instead.
wait_stopped() {
    local state i
    for i in $(seq 1 6000); do
        state=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) || return 1
        [[ $state == T ]] && return 0
        [[ $state == Z ]] && return 1
        sleep 0.05
    done
    return 1
}

# Starts the tool to stop at step $1 (the rest: its arguments), then runs
# the command in $swap, then lets it go on. Sets $status and $message.
run_swapped_at() {
    local step=$1 pid
    shift
    QVR_STOP_AT=$step "$qvr" "$@" >/dev/null 2>"$scratch/stderr" &
    pid=$!
    if wait_stopped "$pid"; then
        eval "$swap"
        kill -CONT "$pid"
    fi
    wait "$pid"
    status=$?
    message=$(cat "$scratch/stderr")
}

expect_status() {
    local what=$1 want=$2 says=${3:-}
    checks=$((checks + 1))
    if [[ $status -ne $want ]]; then
        fail "$what: exit status $status, not $want: ${message:0:300}"
    elif [[ -n $says ]] && ! grep -qE "$says" <<<"$message"; then
        fail "$what: the message does not say /$says/: ${message:0:300}"
    else
        pass "$what"
    fi
}
expect_same() {
    checks=$((checks + 1))
    cmp -s "$2" "$3" || fail "$1: $2 changed"
}
expect_only() {
    local dir=$1 want=$2 what=$3
    checks=$((checks + 1))
    [[ $(ls -A "$dir" | tr '\n' ' ') == "$want " ]] || fail "$what: $dir holds $(ls -A "$dir" | tr '\n' ' ')"
}

row_link_swapped_in() {
    # A second user owns the folder and swaps the archive for a link to a
    # file of root's while root's change is under way.
    local step home=$scratch/home
    printf 'root secret\n' >"$scratch/secret"
    chmod 600 "$scratch/secret"
    cp "$scratch/secret" "$scratch/secret.orig"
    for step in loaded gathered written; do
        rm -rf "$home"
        mkdir -p "$home"
        cp "$scratch/small.qvr" "$home/a.qvr"
        chown -R 65534:65534 "$home"
        swap="as_nobody ln -sfn '$scratch/secret' '$home/a.qvr'"
        run_swapped_at "$step" add -q "$home/a.qvr" -C "$scratch/small" readme.txt
        expect_status "archive swapped for a link at '$step'" 1 "changed while it was being changed; nothing written"
        expect_same "archive swapped for a link at '$step'" "$scratch/secret" "$scratch/secret.orig"
        expect_only "$home" a.qvr "archive swapped for a link at '$step'"
    done
}

row_ten_at_once() {
    local dir=$scratch/ten i pids=() failed=0
    rm -rf "$dir"
    mkdir -p "$dir/in"
    cp "$scratch/small.qvr" "$dir/a.qvr"
    for i in $(seq 1 10); do make_file "$dir/in/f$i.txt" $((i * 1000)); done
    for i in $(seq 1 10); do
        "$qvr" add -q "$dir/a.qvr" -C "$dir/in" "f$i.txt" 2>"$scratch/stderr.$i" &
        pids+=($!)
    done
    for i in "${pids[@]}"; do wait "$i" || failed=$((failed + 1)); done
    status=$failed message=$(cat "$scratch"/stderr.*)
    expect_status "ten adds at once all succeed" 0
    checks=$((checks + 1))
    local count
    count=$("$qvr" list "$dir/a.qvr" | wc -l)
    [[ $count -eq 13 ]] || fail "ten adds at once: $count entries, not 3 + 10"
    "$qvr" test -q "$dir/a.qvr" || fail "ten adds at once: the archive is not sound"
    expect_only "$dir" "a.qvr in" "ten adds at once"

    # Another change holds it: --no-wait fails at once, nothing changed.
    cp "$dir/a.qvr" "$dir/before.qvr"
    flock -x "$dir/a.qvr" "$qvr" add --no-wait "$dir/a.qvr" -C "$scratch/small" readme.txt >/dev/null 2>"$scratch/stderr"
    status=$? message=$(cat "$scratch/stderr")
    expect_status "--no-wait while another change holds it" 1 "another qvr is changing it"
    expect_same "--no-wait while another change holds it" "$dir/a.qvr" "$dir/before.qvr"
    # Without it, the change waits for the holder and then is made.
    mkfifo "$dir/go"
    flock -x "$dir/a.qvr" cat "$dir/go" >/dev/null &
    local holder=$!
    "$qvr" add -q "$dir/a.qvr" -C "$dir/in" f1.txt 2>"$scratch/stderr" &
    local waiter=$!
    echo go >"$dir/go"
    wait "$holder"
    wait "$waiter"
    status=$? message=$(cat "$scratch/stderr")
    expect_status "a change waits for the one before it" 0
}

row_private_and_durable() {
    local dir=$scratch/durable
    rm -rf "$dir"
    mkdir -p "$dir"
    cp "$scratch/small.qvr" "$dir/a.qvr"
    chmod 600 "$dir/a.qvr"
    traced -f -qq -o "$scratch/trace" -e trace=openat,fsync,linkat,renameat,renameat2,rename,fchmod \
        "$qvr" add -q "$dir/a.qvr" -C "$scratch/small" readme.txt 2>"$scratch/stderr"
    status=$? message=$(cat "$scratch/stderr")
    expect_status "add under strace" 0
    checks=$((checks + 1))
    # Made without a name, readable by its owner alone; synced, renamed,
    # then its folder synced.
    grep -qE 'openat\(.*O_TMPFILE.*, 0600\)' "$scratch/trace" ||
        fail "the new archive was not made nameless and 0600: $(grep O_TMPFILE "$scratch/trace" | head -n 1)"
    local order
    order=$(grep -oE '^[0-9]+ +(fsync|renameat2?|rename)\(' "$scratch/trace" | awk '{ print $2 }' | tr -d '(' | tr '\n' ' ')
    [[ $order =~ ^fsync\ rename(at2?)?\ fsync\ $ ]] || fail "sync order around the rename: '$order'"
    [[ $(stat -c %a "$dir/a.qvr") == 600 ]] || fail "a 0600 archive became $(stat -c %a "$dir/a.qvr")"
}

row_owner_kept() {
    local dir=$scratch/owner
    rm -rf "$dir"
    mkdir -p "$dir"
    cp "$scratch/small.qvr" "$dir/a.qvr"
    chown 65534:65534 "$dir/a.qvr"
    chmod 640 "$dir/a.qvr"
    "$qvr" add -q "$dir/a.qvr" -C "$scratch/small" readme.txt 2>"$scratch/stderr"
    status=$? message=$(cat "$scratch/stderr")
    expect_status "root changes nobody's archive" 0
    checks=$((checks + 1))
    [[ $(stat -c '%u:%g %a' "$dir/a.qvr") == "65534:65534 640" ]] ||
        fail "root changed nobody's 0640 archive into $(stat -c '%u:%g %a' "$dir/a.qvr")"
    # A user who cannot keep the group: set-id bits go, and that is said.
    chown -R 65534:65534 "$dir"
    chown 65534:0 "$dir/a.qvr"
    chmod 6770 "$dir/a.qvr"
    as_nobody "$qvr" add -q "$dir/a.qvr" -C "$scratch/small" readme.txt 2>"$scratch/stderr"
    status=$? message=$(cat "$scratch/stderr")
    expect_status "a group that cannot be kept" 0 "group could not be kept.*set-user-id and set-group-id bits were dropped"
    checks=$((checks + 1))
    [[ $(stat -c '%u:%g %a' "$dir/a.qvr") == "65534:65534 770" ]] ||
        fail "a group that cannot be kept: $(stat -c '%u:%g %a' "$dir/a.qvr")"
}

row_refused_archives() {
    local dir=$scratch/refused
    rm -rf "$dir"
    mkdir -p "$dir"
    cp "$scratch/small.qvr" "$dir/a.qvr"
    ln "$dir/a.qvr" "$dir/b.qvr"
    run_tool /dev/null add -q "$dir/a.qvr" -C "$scratch/small" readme.txt
    expect_status "an archive with a second hard link" 1 "other names \(hard links\)"
    expect_same "an archive with a second hard link" "$dir/a.qvr" "$scratch/small.qvr"
    run_tool /dev/null delete -q --break-links "$dir/a.qvr" readme.txt
    expect_status "--break-links" 0
    expect_same "--break-links keeps the other name's archive" "$dir/b.qvr" "$scratch/small.qvr"
    # Read-only to its own user, in that user's folder: refused, as zip does.
    rm -rf "$dir"
    mkdir -p "$dir"
    cp "$scratch/small.qvr" "$dir/a.qvr"
    chown -R 65534:65534 "$dir"
    chmod 444 "$dir/a.qvr"
    as_nobody "$qvr" delete -q "$dir/a.qvr" readme.txt >/dev/null 2>"$scratch/stderr"
    status=$? message=$(cat "$scratch/stderr")
    expect_status "a read-only archive" 1 "may not be written"
    expect_same "a read-only archive" "$dir/a.qvr" "$scratch/small.qvr"
    expect_only "$dir" a.qvr "a read-only archive"
}

row_inputs_swapped() {
    local dir=$scratch/inputs
    rm -rf "$dir"
    mkdir -p "$dir/in"
    make_file "$dir/in/x.bin" 4096
    head -c 4096 /dev/urandom >"$scratch/shadow"
    chmod 600 "$scratch/shadow"
    # -P: the input becomes a link to a file of the same size.
    swap="ln -sfn '$scratch/shadow' '$dir/in/x.bin'"
    run_swapped_at gathered create -q -P "$dir/new.qvr" -C "$dir/in" x.bin
    expect_status "create -P, an input swapped for a link" 1 "symbolic link|replaced"
    expect_only "$dir" in "create -P, an input swapped for a link"
    # Links followed: the input becomes another file.
    make_file "$dir/in/x.bin" 4096
    swap="cp '$scratch/shadow' '$dir/other' && mv '$dir/other' '$dir/in/x.bin'"
    run_swapped_at gathered create -q "$dir/new.qvr" -C "$dir/in" x.bin
    expect_status "create, an input swapped for another file" 1 "replaced by another file"
    expect_only "$dir" in "create, an input swapped for another file"
    cp "$scratch/small.qvr" "$dir/a.qvr"
    make_file "$dir/in/x.bin" 4096
    swap="ln -sfn '$scratch/shadow' '$dir/in/x.bin'"
    run_swapped_at gathered add -q -P "$dir/a.qvr" -C "$dir/in" x.bin
    expect_status "add -P, an input swapped for a link" 1 "symbolic link|replaced"
    expect_same "add -P, an input swapped for a link" "$dir/a.qvr" "$scratch/small.qvr"
}

row_growing_input() {
    local dir=$scratch/grow
    rm -rf "$dir"
    mkdir -p "$dir/in"
    make_file "$dir/in/g.bin" 100000
    cp "$dir/in/g.bin" "$scratch/g.first"
    swap="head -c 50000 /dev/zero >>'$dir/in/g.bin'"
    run_swapped_at gathered create -q "$dir/new.qvr" -C "$dir/in" g.bin
    expect_status "a file that grows as it is read" 1 "g.bin changed as it was read"
    "$qvr" extract -q -O "$dir/new.qvr" g.bin >"$scratch/g.stored" 2>/dev/null
    expect_same "a file that grows: its first size is stored" "$scratch/g.stored" "$scratch/g.first"
}

case_change_safety() {
    need_strace
    need_user_drop
    make_small
    local row
    for row in link_swapped_in ten_at_once private_and_durable owner_kept refused_archives inputs_swapped \
               growing_input; do
        "row_$row"
    done
}

[[ -x $qvr ]] || { echo "faults.sh: no tool at '$qvr'" >&2; exit 1; }
case $case_name in
    full_device | read_only_folder) enter_namespace ;;
esac
case $case_name in
    full_device) case_full_device ;;
    read_only_folder) case_read_only_folder ;;
    killed_extraction) case_killed_extraction ;;
    killed_creation) case_killed_creation ;;
    killed_change) case_killed_change ;;
    interrupted_cleanup) case_interrupted_cleanup ;;
    signal_at_temp_creation) case_signal_at_temp_creation ;;
    change_safety) case_change_safety ;;
    *) echo "faults.sh: unknown case '$case_name'" >&2; exit 2 ;;
esac

echo "$case_name: $checks checks, $failures failed"
[[ $failures -eq 0 ]]
