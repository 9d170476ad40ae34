#!/usr/bin/env bash
# clang-tidy (with .clang-tidy) and cppcheck on the project's own code, tests
# aside; fails on any finding. Usage: tools/lint.sh [BUILD_DIR with compile_commands.json]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build/native}

run-clang-tidy-14 -p "$build" -quiet -j 2 \
    "^$top/(main|detect|files|upgrade|platform|tools)/.*\.cpp\$" > "$build/clang-tidy.log" 2>&1 || {
    grep -E "warning:|error:" "$build/clang-tidy.log" | sort -u
    echo "clang-tidy: findings above (whole log: $build/clang-tidy.log)"
    exit 1
}
echo "clang-tidy: clean"

cd "$top"
cppcheck --enable=warning,performance,portability --std=c++17 --inline-suppr --quiet \
    --error-exitcode=1 --suppress=missingIncludeSystem -I . \
    main detect files upgrade platform tools
echo "cppcheck: clean"
