#!/usr/bin/env bash
# Shows the Installer at work on a demo machine with the adapter plugged in.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build/native"
demo="$top/build/demo"

rm -rf "$demo"
"$build/vtn2-machine" init "$demo/machine"
"$build/vtn2-machine" reg import "$demo/machine" "$top/tests/e2e/fixtures/adapter-hid.reg"
export VTN2_MACHINE="$demo/machine"

echo "== The demo machine's devices (HKLM\\SYSTEM\\CurrentControlSet\\Enum):"
"$build/vtn2-machine" reg export "$demo/machine" 'HKLM\SYSTEM\CurrentControlSet\Enum' |
    grep '^\[' | sed 's/^/   /'
echo
echo "== setup /H  (detect only)"
set +e
"$build/setup" /H
code=$?
set -e
echo
echo "== exit code $code"
