#!/usr/bin/env bash
# Signs a Windows program in place (Authenticode, SHA-256) with osslsigncode:
# the certificate and key of the PKCS#12 file VTN2_SIGN_PFX, whose password is
# in the file VTN2_SIGN_PASSWORD_FILE, and an RFC 3161 time stamp from
# VTN2_SIGN_TIMESTAMP_URL when that is set. The program is replaced only once
# signing has succeeded. A signature already there is replaced.
# Usage: tools/sign.sh FILE. Exit status 2 when a setting is missing or wrong.
set -euo pipefail
file=${1:?usage: tools/sign.sh FILE}

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
[ -f "$file" ] || fail "no $file to sign: build it first"

work=$(mktemp -d "$(dirname "$file")/.sign.XXXXXX")
trap 'rm -rf "$work"' EXIT
unsigned=$file
if osslsigncode extract-signature -in "$file" -out "$work/old.der" >/dev/null 2>&1; then
    osslsigncode remove-signature -in "$file" -out "$work/unsigned" >/dev/null
    unsigned=$work/unsigned
fi

args=(sign -pkcs12 "$VTN2_SIGN_PFX" -readpass "$VTN2_SIGN_PASSWORD_FILE" -h sha256
      -n "Veltrane 2 software installation" -in "$unsigned" -out "$work/signed")
[ -z "${VTN2_SIGN_TIMESTAMP_URL:-}" ] || args+=(-ts "$VTN2_SIGN_TIMESTAMP_URL")
if ! osslsigncode "${args[@]}" >"$work/log" 2>&1; then
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
