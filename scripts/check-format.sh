#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Fails when a tracked C++ file differs from what clang-format makes of it.
# Usage: scripts/check-format.sh   (scripts/check-format.sh --fix rewrites them)
set -euo pipefail
cd "$(dirname "$0")/.."
format=$(command -v clang-format-14 || command -v clang-format)
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--fix" ]; then
    "$format" -i "${files[@]}"
    echo "format: rewrote ${#files[@]} files"
    exit 0
fi
echo "format: checking ${#files[@]} files with $format"
"$format" --dry-run --Werror "${files[@]}"
echo "format: clean"
