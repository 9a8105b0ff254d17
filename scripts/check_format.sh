#!/usr/bin/env bash
# Names the tracked C++ files that clang-format (per .clang-format) would change;
# exits non-zero when there is one.
set -uo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "clang-format not found" >&2; exit 2; }

bad=()
while IFS= read -r -d '' file; do
  clang-format --dry-run --Werror "$file" 2>/dev/null || bad+=("$file")
done < <(git ls-files -z -- '*.cpp' '*.h')

if ((${#bad[@]})); then
  printf 'not formatted: %s\n' "${bad[@]}" >&2
  exit 1
fi
echo "all tracked C++ files are formatted"
