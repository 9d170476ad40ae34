#!/usr/bin/env bash
# Installs with apt-get whatever the build and the tests need and this
# machine lacks, so that a fresh Debian machine can run `make test`.
set -euo pipefail

declare -A needs=(
    [cmake]=cmake
    [ninja]=ninja-build
    [g++]=g++
    [python3]=python3
    [x86_64-w64-mingw32-g++-posix]=g++-mingw-w64-x86-64-posix
    [wine]=wine
    [wineboot]=wine
    [flock]=util-linux
    [clang++]=clang
    [run-clang-tidy-14]=clang-tidy-14
    [cppcheck]=cppcheck
    [osslsigncode]=osslsigncode
    [openssl]=openssl
    [faketime]=faketime
    [strace]=strace
    [ansible-playbook]=ansible
)
missing=()
for command in "${!needs[@]}"; do
    command -v "$command" >/dev/null 2>&1 || missing+=("${needs[$command]}")
done
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -f /usr/x86_64-w64-mingw32/include/hidsdi.h ] || missing+=(mingw-w64-x86-64-dev)
[ -x /usr/lib/wine/wine64 ] || missing+=(wine64)
compgen -G '/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null ||
    missing+=(libclang-rt-14-dev)

[ ${#missing[@]} -eq 0 ] && exit 0
packages=$(printf '%s\n' "${missing[@]}" | sort -u | tr '\n' ' ')
echo "Installing: $packages"
if [ "$(id -u)" -ne 0 ]; then
    echo "Not root: install these packages first: $packages" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $packages >/dev/null
