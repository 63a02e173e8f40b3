#!/usr/bin/env bash
# qvr.exe under Wine: create, test, list and extract a small tree, change
# the archive in place (add, delete), and the exit status for a missing archive.
#   wine_smoke.sh WINE_RUN QVR_EXE WORK_DIR
set -euo pipefail
# Under Wine a failed start or a crash may say nothing: name the command.
trap 'echo "FAIL: line $LINENO: status(es) ${PIPESTATUS[*]}: $BASH_COMMAND" >&2' ERR
# qvr.exe says why whenever it fails: a silent failure is Wine's, and
# wine-run tries it again.
export QVR_WINE_SILENT_FAILS_ARE_WINE=1
wine_run=$1 qvr=$2 work=$3
rm -rf "$work"
mkdir -p "$work/tree/sub/deeper" "$work/tree/with space"
cd "$work"
printf 'hello\n' > tree/readme.txt
: > tree/sub/empty
head -c 200000 /dev/urandom > tree/sub/deeper/random.bin
printf '%049d' 0 > "tree/with space/forty-nine"

run() { "$wine_run" "$qvr" "$@"; }

run --version | grep -q '^qvr '
run create a.qvr -C tree .
run test a.qvr | grep -q '4 entries, sound'
run list a.qvr | tr -d '\r' > names.txt
printf '%s\n' 'readme.txt' 'sub\deeper\random.bin' 'sub\empty' 'with space\forty-nine' > expected.txt
diff expected.txt names.txt
run extract a.qvr -C out
diff -r tree out
run extract -O a.qvr 'sub\deeper\random.bin' | cmp - tree/sub/deeper/random.bin

status=0
run list missing.qvr 2>/dev/null || status=$?
[ "$status" -eq 2 ] || { echo "missing archive: status $status, wanted 2" >&2; exit 1; }
# Keeping existing files is no failure: one line, status 0.
run extract a.qvr -C out 2>&1 | tr -d '\r' | grep -q 'kept 4 existing files; --overwrite replaces them'
run extract a.qvr -C out 2>/dev/null

# A change replaces the archive in one step (MoveFileExW): add one file, then
# delete another; the rest comes back as it was.
printf 'added\n' > added.txt
run add a.qvr added.txt
run delete a.qvr 'sub\empty'
run list a.qvr | tr -d '\r' > names.txt
printf '%s\n' 'readme.txt' 'sub\deeper\random.bin' 'with space\forty-nine' 'added.txt' > expected.txt
diff expected.txt names.txt
run test a.qvr >/dev/null
run extract a.qvr -C changed
rm tree/sub/empty
cp added.txt tree/
diff -r tree changed

# Archives a change refuses, nothing written: read-only, and one with a
# second hard link (unless --break-links).
cp a.qvr ro.qvr
chmod 444 ro.qvr
status=0
run delete ro.qvr readme.txt 2>err.txt || status=$?
[ "$status" -eq 1 ] && grep -q 'read-only' err.txt || { echo "read-only archive: status $status: $(cat err.txt)" >&2; exit 1; }
cmp ro.qvr a.qvr
ln a.qvr linked.qvr
status=0
run delete a.qvr readme.txt 2>err.txt || status=$?
[ "$status" -eq 1 ] && grep -q 'hard links' err.txt || { echo "hard-linked archive: status $status: $(cat err.txt)" >&2; exit 1; }
run delete --break-links a.qvr readme.txt
cmp -s a.qvr linked.qvr && { echo "--break-links: the archive did not change" >&2; exit 1; }
echo "qvr.exe smoke test passed"
