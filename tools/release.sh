#!/usr/bin/env bash
# Makes RELEASE (build/release) from the build output in WINDOWS_BUILD
# (build/windows): SETUP.EXE, signed when the signing settings are there
# (tools/sign.sh), SETUP.EXE.debug and their SHA-256 sums. SETUP.EXE is taken
# without any signature `make sign` gave it, and what is said about its
# signature is read back from the file shipped. With VTN2_SIGN_REQUIRED=1 a
# release without a signature and a time stamp fails. A release that fails
# leaves the previous one as it was.
# Usage: tools/release.sh WINDOWS_BUILD RELEASE. Exit status 2 when it fails.
set -euo pipefail
build=${1:?usage: tools/release.sh WINDOWS_BUILD RELEASE}
release=${2:?usage: tools/release.sh WINDOWS_BUILD RELEASE}
part=$release.part

fail() {
    echo "release: $*" >&2
    exit 2
}

# Stopped between the two renames below, the previous release goes back.
restore() {
    rm -rf "$part"
    [ -e "$release" ] || [ ! -e "$release.old" ] || mv "$release.old" "$release"
}
trap restore EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
rm -rf "$part"
mkdir -p "$part"
cp "$build/SETUP.EXE.debug" "$part/"
osslsigncode remove-signature -in "$build/SETUP.EXE" -out "$part/SETUP.EXE" >/dev/null 2>&1 ||
    cp "$build/SETUP.EXE" "$part/SETUP.EXE"

if [ -n "${VTN2_SIGN_PFX:-}${VTN2_SIGN_PASSWORD_FILE:-}" ]; then
    "$(dirname "$0")/sign.sh" "$part/SETUP.EXE" || exit 2
fi

# The time stamp is an unsigned attribute of the signature: RFC 3161
# (1.3.6.1.4.1.311.3.3.1) or Authenticode's countersignature.
signed=no
stamped=no
if osslsigncode extract-signature -in "$part/SETUP.EXE" -out "$part/signature" >/dev/null 2>&1
then
    signed=yes
    parsed=$(openssl asn1parse -inform DER -in "$part/signature")
    ! grep -q ':1.3.6.1.4.1.311.3.3.1$\|:countersignature$' <<<"$parsed" || stamped=yes
    rm "$part/signature"
fi
case $signed$stamped in
    yesyes) state="signed, with a time stamp" ;;
    yesno) state="signed, without a time stamp (set VTN2_SIGN_TIMESTAMP_URL)" ;;
    *) state="not signed (set VTN2_SIGN_PFX and VTN2_SIGN_PASSWORD_FILE to sign it)" ;;
esac
[ "${VTN2_SIGN_REQUIRED:-0}" != 1 ] || [ "$signed$stamped" = yesyes ] ||
    fail "SETUP.EXE $state, and VTN2_SIGN_REQUIRED=1 requires a signature with a time stamp;" \
         "$release is left as it was"

(cd "$part" && sha256sum SETUP.EXE SETUP.EXE.debug >SHA256SUMS)
rm -rf "$release.old"
[ ! -e "$release" ] || mv "$release" "$release.old"
mv "$part" "$release"
rm -rf "$release.old"
echo "SETUP.EXE $state"
cat "$release/SHA256SUMS"
