#!/bin/bash
# qvr mount end to end, as root over /dev/fuse: the mount shows what extract
# writes; a cut archive gives its bytes and then EIO; an archive replaced,
# moved or chmod-ed keeps being served, one rewritten in place gives EIO; a
# folder that is not empty or already a mount point is refused; a foreign
# file mounts nothing; unmount and Ctrl-C leave nothing mounted. Exits 77 (skipped) without root or FUSE.
#
#   mount_scenario.sh QVR MOUNT_FIXTURE WORKDIR
set -u
qvr=$1 fixture=$2 work=$3

if [ "$(id -u)" != 0 ] || [ ! -c /dev/fuse ] || ! command -v findmnt >/dev/null; then
    echo "SKIP: needs root, /dev/fuse and findmnt"
    exit 77
fi
rm -rf "$work" && mkdir -p "$work"/m{1,2,3,4,5} && cd "$work" || exit 1

# Sanitizer reports from the server, which has no terminal, land here.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}log_path=$work/sanitizer"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}log_path=$work/sanitizer"

foreground=
cleanup() {
    [ -n "$foreground" ] && kill "$foreground" 2>/dev/null
    for m in "$work"/m?; do findmnt -M "$m" >/dev/null && umount -l "$m"; done
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
mounted() { findmnt -M "$work/$1" >/dev/null; }
# Polls a condition: CI machines are busy, so the limit is generous.
wait_until() { for _ in $(seq 600); do "$@" && return 0; sleep 0.1; done; return 1; }
eio() { grep -q "Input/output error" "$1" || fail "$2: $(cat "$1")"; }

"$fixture" a.qvr || fail "fixture"
"$qvr" extract -q --encoding CP932 a.qvr -C out 2>/dev/null
[ $? = 1 ] || fail "extract should skip the refused and repeated names"

# Returns once the mount is in place, and names every entry left out.
"$qvr" mount --encoding CP932 "$work/a.qvr" "$work/m1" 2>mount.err || fail "mount: $(cat mount.err)"
mounted m1 || fail "qvr mount returned before the mount was in place"
grep -q "entry 2 'doc/notes.txt': not shown: repeats the name of entry 1" mount.err || fail "$(cat mount.err)"
[ "$(grep -c 'not shown' mount.err)" = 3 ] || fail "$(cat mount.err)"
# Reads of any size at any offset give the entry's own bytes and stop at its
# end: here the first ones, from a fresh mount in large requests; in m2,
# below, as made (the cut entry is read uncached).
range() { dd if="$1" bs=1M iflag=skip_bytes,count_bytes skip="$2" count="$3" 2>/dev/null; }
expect() { tail -c +$(($2 + 1)) "$1" | head -c "$3"; }
while read -r at size; do
    cmp <(range m1/readme.txt "$at" "$size") <(expect out/readme.txt "$at" "$size") || fail "readme.txt, $size bytes from $at"
done <<<$'1 307199\n4095 8193\n307000 1000\n0 1'
diff -r out m1 || fail "the mount differs from what extract writes"
# As root the mount reads ahead a megabyte, not the kernel's 128 KiB.
ra=/sys/class/bdi/$(findmnt -n -o MAJ:MIN -M "$work/m1" | tr -d ' ')/read_ahead_kb
[ ! -w "$ra" ] || [ "$(cat "$ra")" = 1024 ] || fail "the mount reads ahead $(cat "$ra") KiB"
[ "$(stat -c %a m1/readme.txt m1/日本)" = $'444\n555' ] || fail "modes"

# Cut 1000 bytes into the last entry: its first bytes, then EIO, never zeros.
head -c -1000 a.qvr >cut.qvr
"$qvr" mount "$work/cut.qvr" "$work/m2" 2>cut.err || fail "mount cut.qvr"
grep -q "damaged: 1 of .* entries has data that run past the end of the file" cut.err || fail "no word of the cut: $(cat cut.err)"
dd if=m2/zz/last.bin of=part bs=64k 2>dd.err && fail "read past the archive's end succeeded"
eio dd.err "reading past the archive's end"
[ "$(stat -c %s part)" = 199000 ] && cmp -s part <(head -c 199000 out/zz/last.bin) || fail "bytes before the cut"
cmp m2/readme.txt out/readme.txt || fail "an entry before the cut"
while read -r at size; do
    cmp <(range m2/zz/last.bin "$at" "$size") <(expect out/zz/last.bin "$at" "$size") || fail "last.bin, $size bytes from $at"
done <<<$'1 150000\n65535 70001\n198999 1'

# Replaced under the mount (a new file renamed over it, as a change writes),
# chmod-ed, moved away and back: the file opened is served whole. Rewritten
# in place: EIO.
cp a.qvr r.qvr && cp a.qvr w.qvr
"$qvr" mount -q "$work/r.qvr" "$work/m3" 2>/dev/null && "$qvr" mount -q "$work/w.qvr" "$work/m4" 2>/dev/null || fail "mount r.qvr, w.qvr"
echo "not an archive" >r.new && mv r.new r.qvr
chmod 444 r.qvr && mv r.qvr r.away && mv r.away r.qvr
cmp m3/zz/last.bin out/zz/last.bin || fail "a replaced archive is no longer served"
echo "not an archive" >w.qvr
cat m4/readme.txt >/dev/null 2>cat4.err && fail "read from a rewritten archive"
eio cat4.err "rewritten archive"

# A folder that is a mount point already, or holds files, is refused;
# --nonempty mounts over files, even the archive itself.
"$qvr" mount -q "$work/a.qvr" "$work/m3" 2>refused.err
[ $? = 1 ] && grep -q "already a mount point" refused.err || fail "mount over a mount: $(cat refused.err)"
cp a.qvr m5/
"$qvr" mount -q "$work/m5/a.qvr" "$work/m5" 2>refused.err
[ $? = 1 ] && grep -q "not empty" refused.err || fail "mount over files: $(cat refused.err)"
mounted m5 && fail "a refused folder was mounted"
"$qvr" mount -q --nonempty "$work/m5/a.qvr" "$work/m5" 2>/dev/null || fail "mount --nonempty"
cmp m5/readme.txt out/readme.txt || fail "a mount over its own archive"

for m in m1 m2 m3 m4 m5; do
    "$qvr" unmount "$work/$m" || fail "unmount $m"
    mounted $m && fail "$m still mounted after unmount"
done
"$qvr" unmount "$work/m1" 2>/dev/null
[ $? = 2 ] || fail "unmount of a folder with nothing mounted"

# A foreign file: exit 2, nothing mounted.
"$qvr" mount "$work/w.qvr" "$work/m1" 2>/dev/null
[ $? = 2 ] || fail "a foreign file was not refused with exit status 2"
mounted m1 && fail "a foreign file was mounted"

# -f serves until interrupted; Ctrl-C (SIGINT, not ignored under job control) unmounts.
set -m
"$qvr" mount -f "$work/a.qvr" "$work/m1" 2>/dev/null &
foreground=$!
set +m
wait_until mounted m1 || fail "qvr mount -f did not mount"
kill -INT "$foreground"
wait "$foreground" || fail "qvr mount -f ended with status $? on SIGINT"
foreground=
mounted m1 && fail "still mounted after SIGINT"

# Every server has gone by now or soon; their sanitizer reports are final then.
wait_until eval '! pgrep -f -- "$work/m" >/dev/null' || fail "a server still runs after its unmount"
if ls "$work"/sanitizer.* >/dev/null 2>&1; then cat "$work"/sanitizer.*; fail "sanitizer reports"; fi
echo "PASS"
