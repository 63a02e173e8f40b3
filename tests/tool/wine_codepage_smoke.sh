#!/usr/bin/env bash
# qvr.exe under Wine with names from a Japanese system: CP932, where the
# second byte of 表, ソ and 能 is 0x5C, the folder separator. list, extract,
# create and test run twice, with --encoding CP932 under Wine's default code
# page (1252) and without it under a Japanese locale (code page 932), and
# each result is compared with the Linux qvr --encoding CP932. list --json
# must be UTF-8 JSON under any code page, with U+FFFD for bytes that are not
# CP932. "minimal" runs one extraction and one listing (for 32-bit Wine,
# where every start is slow).
#   wine_codepage_smoke.sh LINUX_QVR WINE_RUN QVR_EXE WORK_DIR [full|minimal]
set -euo pipefail
# Under Wine a failed start or a crash may say nothing: name the command.
trap 'echo "FAIL: line $LINENO: status $?: $BASH_COMMAND" >&2' ERR
# qvr.exe says why whenever it fails: a silent failure is Wine's, and
# wine-run tries it again.
export QVR_WINE_SILENT_FAILS_ARE_WINE=1
host=$1 wine_run=$2 qvr=$3 work=$4 scope=${5:-full}
[ -x "$host" ] || { echo "no Linux qvr at $host: build the native preset first" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"
cd "$work"

# Wine takes the ANSI code page from the locale (C: 1252) and writes file
# names in the locale's character set, so both locales are UTF-8.
default_cp() { LC_ALL=C.UTF-8 LANG=C.UTF-8 "$wine_run" "$qvr" "$@"; }
japanese_cp() { LC_ALL=ja_JP.UTF-8 LANG=ja_JP.UTF-8 "$wine_run" "$qvr" "$@"; }
fail() { echo "FAIL: $*" >&2; exit 1; }
# expect_status N COMMAND...: runs it and checks its status; its standard
# error is shown only when the status is not the one wanted.
expect_status() {
    local want=$1 status=0
    shift
    "$@" 2>expect-stderr.txt || status=$?
    if [ "$status" -ne "$want" ]; then
        cat expect-stderr.txt >&2
        fail "$*: status $status, wanted $want"
    fi
}

mkdir -p tree/表示 tree/能 tree/ソフト/表
printf 'one\n' > tree/表示/ソ.txt
printf 'two\n' > tree/能/表.txt
printf 'three\n' > tree/ソフト/表/能力.bin
printf 'four\n' > tree/plain.txt
"$host" create -q --encoding CP932 ref.qvr -C tree .
"$host" list --encoding CP932 ref.qvr > expected.txt
# The archive holds the trail bytes this is about: 表示\ソ.txt as stored.
"$host" list --json ref.qvr | grep -q '"nameHex":"955c8ea65c835c2e747874"' || fail "reference archive lacks 表示\\ソ.txt"

# One name with a byte that starts no CP932 character, stored as it is.
mkdir -p broken
printf 'x' > "broken/bad$(printf '\x81').txt"
"$host" create -q broken.qvr -C broken . 2>/dev/null

# JSON: valid UTF-8 whatever the code page, with the names in `want` (one per line).
check_json() {
    local file=$1 want=$2
    python3 - "$file" "$want" <<'EOF' || fail "list --json: $file"
import json, sys
names = [e["name"] for e in json.loads(open(sys.argv[1], "rb").read().decode("utf-8"))]
want = sys.argv[2]
if names != want.split("\n"):
    sys.exit(f"names {names!r}, wanted {want.splitlines()!r}")
EOF
}

# One pass: LABEL names its files, RUN starts qvr.exe under a code page,
# DECODE turns its plain listing into UTF-8; the rest are qvr.exe's options.
pass() {
    local label=$1 run=$2 decode=$3
    shift 3
    "$run" list "$@" ref.qvr | tr -d '\r' | $decode > "$label-list.txt"
    diff expected.txt "$label-list.txt" || fail "$label: list differs"
    "$run" extract "$@" ref.qvr -C "$label-out"
    diff -r tree "$label-out" || fail "$label: extracted tree differs"
    "$run" create -q "$@" "$label.qvr" -C tree .
    cmp ref.qvr "$label.qvr" || fail "$label: created archive differs from the Linux one"
    "$run" test "$@" "$label.qvr" | grep -q '4 entries, sound' || fail "$label: test"
    "$run" list --json "$@" ref.qvr > "$label.json"
    check_json "$label.json" "$(cat expected.txt)"
}

if [ "$scope" = minimal ]; then
    default_cp extract --encoding CP932 ref.qvr -C minimal-out
    diff -r tree minimal-out || fail "minimal: extracted tree differs"
    japanese_cp list --json ref.qvr > minimal.json
    check_json minimal.json "$(cat expected.txt)"
    echo "qvr.exe code page smoke test (minimal) passed"
    exit 0
fi

pass cp1252-encoding default_cp cat --encoding CP932
# Under code page 932 without --encoding the names choose CP932 just as
# --encoding would, so the listing is UTF-8 there too.
pass cp932-system japanese_cp cat

# Without --encoding under code page 1252 the names still read as CP932:
# every one of them is CP932, so the guess decides, as on Linux.
default_cp list --json ref.qvr > cp1252-plain.json
check_json cp1252-plain.json "$(printf '%s\n' 'plain.txt' 'ソフト\表\能力.bin' '能\表.txt' '表示\ソ.txt')"
# A byte that is not CP932 becomes U+FFFD, under either way of reading CP932
# (with --encoding the name is also reported, status 1).
expect_status 1 default_cp list --json --encoding CP932 broken.qvr > broken-encoding.json
check_json broken-encoding.json "bad�.txt"
expect_status 0 japanese_cp list --json broken.qvr > broken-system.json
check_json broken-system.json "bad�.txt"
expect_status 1 "$host" list --json --encoding CP932 broken.qvr > broken-linux.json
check_json broken-linux.json "bad�.txt"

# Names that CP932 would change are refused, writing nothing.
mkdir -p lossy
printf 'x' > 'lossy/¢.txt'
expect_status 1 default_cp create --encoding CP932 lossy.qvr -C lossy .
expect_status 1 japanese_cp create lossy.qvr -C lossy .
[ ! -e lossy.qvr ] || fail "an archive of refused names was written"
expect_status 2 default_cp list --encoding NO-SUCH ref.qvr
echo "qvr.exe code page smoke test passed"
