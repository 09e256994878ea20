#!/bin/bash
# Which programs link libpcap: the capture helper must, every other program must not (they capture
# through the helper, and the model they share links nothing). Usage:
#   CheckLinks.sh CAPTURING_PROGRAM -- PROGRAM...
# A program that is not built is said and skipped (exit 77 when nothing else was checked).
set -u
nFailed=0
nChecked=0
check() { # program, whether it must link libpcap
    local strProgram=$1 bWant=$2
    if [[ ! -x $strProgram ]]; then
        echo "not built, not checked: $strProgram"
        return
    fi
    local strLinks
    if ! strLinks=$(ldd "$strProgram" 2>&1); then
        echo "FAIL: ldd could not read $strProgram: $strLinks"
        nFailed=$((nFailed + 1))
        return
    fi
    nChecked=$((nChecked + 1))
    if grep -q 'libpcap' <<<"$strLinks"; then
        [[ $bWant == yes ]] && echo "ok: $strProgram links libpcap" && return
        echo "FAIL: $strProgram links libpcap:"
        grep 'libpcap' <<<"$strLinks"
    else
        [[ $bWant == no ]] && echo "ok: $strProgram links no libpcap" && return
        echo "FAIL: $strProgram does not link libpcap"
    fi
    nFailed=$((nFailed + 1))
}

bWant=yes
for strArgument in "$@"; do
    if [[ $strArgument == -- ]]; then
        bWant=no
    else
        check "$strArgument" "$bWant"
    fi
done
((nFailed > 0)) && exit 1
((nChecked == 0)) && exit 77
exit 0
