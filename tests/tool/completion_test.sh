#!/usr/bin/env bash
# Runs the installed-to-be bash completion against the built qvr: each line
# of the table is a command line (the last word is being completed) and the
# completions it must give, sorted and joined by spaces.
#   completion_test.sh QVR COMPLETION_SCRIPT WORK_DIR
set -euo pipefail
qvr=$(realpath "$1") script=$(realpath "$2") work=$3
if [ ! -r /usr/share/bash-completion/bash_completion ]; then
    echo "bash-completion is not installed (scripts/setup installs it)"
    exit 77
fi
rm -rf "$work" && mkdir -p "$work/here/tree/sound" "$work/here/tree/docs" "$work/bin"
ln -s "$qvr" "$work/bin/qvr"
export PATH="$work/bin:$PATH"
cd "$work/here"
echo a > tree/readme.txt
echo b > tree/sound/a.wav
echo c > "tree/sound/b c.wav"
echo d > tree/docs/read.me
qvr create -q data.qvr -C tree readme.txt sound docs
mkdir jp && echo e > jp/表.txt
qvr create -q --encoding CP932 jp.qvr -C jp 表.txt
mkdir -p ../zone/zi/Africa ../zone/zi/America
echo f > ../zone/zi/Africa/Abidjan && echo g > ../zone/zi/Africa/Accra && echo h > ../zone/zi/America/Lima
qvr create -q ../zi.qvr -C ../zone zi

source /usr/share/bash-completion/bash_completion
source "$script"

completions() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _qvr qvr "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//'
}

failures=0
check() {
    local expected=$1
    shift
    local got
    got=$(completions "$@")
    if [ "$got" != "$expected" ]; then
        echo "FAIL: qvr ${*:2}<TAB>: expected [$expected], got [$got]"
        failures=$((failures + 1))
    fi
}

#     expected                                      command line (last word is completed)
check "extract"                                     qvr ex
check "rename"                                      qvr ren
check "help"                                        qvr he
check "extract"                                     qvr help ext
check "--help --version"                            qvr --
check "--strip-components"                          qvr extract --str
check "--null"                                      qvr create -T list --nu
check "data.qvr jp jp.qvr tree"                     qvr extract ""
check "tree/docs tree/sound"                        qvr extract data.qvr -C tree/
check 'sound\\'                                    qvr extract data.qvr sou
check 'sound\\a.wav sound\\b\ c.wav'                qvr extract data.qvr 'sound\\'
check 'sound/a.wav sound/b\ c.wav'                  qvr extract data.qvr sound/
check 'zi/Africa/'                                  qvr x ../zi.qvr zi/Af
check 'zi/Africa/Abidjan zi/Africa/Accra'           qvr x ../zi.qvr zi/Africa/A
check 'zi\\Africa\\ zi\\America\\'                 qvr x ../zi.qvr 'zi\\A'
check "'zi\\Africa\\"                                 qvr x ../zi.qvr "'zi\\Af"
check "'zi/Africa/Accra'"                           qvr x ../zi.qvr "'zi/Africa/Ac"
check '"zi\\America\\Lima"'                     qvr x ../zi.qvr '"zi\\America\\L'
check 'readme.txt'                                  qvr delete --index 3 data.qvr rea
check 'docs\\'                                     qvr list -l data.qvr d
check 'readme.txt'                                  qvr diff data.qvr -C tree rea
check 'readme.txt'                                  qvr rename data.qvr r
check ''                                            qvr rename data.qvr readme.txt r
check '表.txt'                                      qvr extract --encoding CP932 jp.qvr ""
check 'CP932 CP949'                                 qvr list --encoding CP9
check 'tree/docs tree/readme.txt tree/sound'        qvr add data.qvr tree/
check 'tree/docs tree/sound'                        qvr unmount tree/

if [ "$failures" -ne 0 ]; then
    echo "$failures completion(s) wrong"
    exit 1
fi
echo "completion: all cases right"
