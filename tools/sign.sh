#!/usr/bin/env bash
# Signs a Windows program in place (Authenticode, SHA-256) with osslsigncode:
# the certificate and key of the PKCS#12 file VTN2_SIGN_PFX, whose password is
# in the file VTN2_SIGN_PASSWORD_FILE, and an RFC 3161 time stamp from
# VTN2_SIGN_TIMESTAMP_URL when that is set. The program is replaced only once
# signing has succeeded. A signature already there is replaced.
# Each osslsigncode run, the time stamp's round trip included, gets
# VTN2_SIGN_TIMEOUT seconds (60 unless set). Interrupted or killed (SIGINT,
# SIGTERM, SIGHUP), it leaves the program as it was and nothing beside it.
# Usage: tools/sign.sh FILE. Exit status 2 when a setting is missing or wrong
# or the time-stamp server does not answer in time.
set -euo pipefail
file=${1:?usage: tools/sign.sh FILE}
limit=${VTN2_SIGN_TIMEOUT:-60}

fail() {
    echo "sign: $*" >&2
    exit 2
}

[ -n "${VTN2_SIGN_PFX:-}" ] && [ -n "${VTN2_SIGN_PASSWORD_FILE:-}" ] ||
    fail "set VTN2_SIGN_PFX to a PKCS#12 file and VTN2_SIGN_PASSWORD_FILE to a file holding" \
         "its password (and VTN2_SIGN_TIMESTAMP_URL to a time-stamp server, if wanted)"
[ -r "$VTN2_SIGN_PFX" ] || fail "VTN2_SIGN_PFX: cannot read $VTN2_SIGN_PFX"
[ -r "$VTN2_SIGN_PASSWORD_FILE" ] ||
    fail "VTN2_SIGN_PASSWORD_FILE: cannot read $VTN2_SIGN_PASSWORD_FILE"
[[ "$limit" =~ ^[1-9][0-9]*$ ]] || fail "VTN2_SIGN_TIMEOUT: $limit is not a number of seconds"
[ -f "$file" ] || fail "no $file to sign: build it first"

# bash runs a trap only once the command in the foreground has ended, so the
# one that may wait on the network runs in the background, and a signal ends
# it here rather than after it.
work=
child=
cleanup() {
    if [ -n "$child" ]; then
        kill "$child" 2>/dev/null || true
        wait "$child" 2>/dev/null || true
    fi
    [ -z "$work" ] || rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
work=$(mktemp -d "$(dirname "$file")/.sign.XXXXXX")

osslsign() {
    timeout --kill-after=5 "$limit" osslsigncode "$@" >"$work/log" 2>&1 &
    child=$!
    local status=0
    wait "$child" || status=$?
    child=
    return "$status"
}

unsigned=$file
if osslsigncode extract-signature -in "$file" -out "$work/old.der" >/dev/null 2>&1; then
    osslsigncode remove-signature -in "$file" -out "$work/unsigned" >/dev/null
    unsigned=$work/unsigned
fi

args=(sign -pkcs12 "$VTN2_SIGN_PFX" -readpass "$VTN2_SIGN_PASSWORD_FILE" -h sha256
      -n "Veltrane 2 software installation" -in "$unsigned" -out "$work/signed")
[ -z "${VTN2_SIGN_TIMESTAMP_URL:-}" ] || args+=(-ts "$VTN2_SIGN_TIMESTAMP_URL")
status=0
osslsign "${args[@]}" || status=$?
if [ "$status" -ne 0 ]; then
    if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
        what="osslsigncode did not finish"
        [ -z "${VTN2_SIGN_TIMESTAMP_URL:-}" ] ||
            what="no answer from the time-stamp server $VTN2_SIGN_TIMESTAMP_URL"
        fail "$what within $limit s (VTN2_SIGN_TIMEOUT); $file is left as it was"
    fi
    if grep -q "mac verify failure\|Wrong password" "$work/log"; then
        fail "the password in $VTN2_SIGN_PASSWORD_FILE does not open $VTN2_SIGN_PFX;" \
             "$file is left as it was"
    fi
    sed 's/^/    /' "$work/log" >&2
    fail "osslsigncode could not sign $file (its output above); $file is left as it was"
fi
chmod --reference="$file" "$work/signed"
mv "$work/signed" "$file"
echo "Signed $file"
