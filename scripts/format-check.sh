#!/usr/bin/env bash
# Checks the layout (.clang-format) of the C++ lines this branch changed,
# against its merge base with main (SORN_FORMAT_BASE names another branch).
# Only changed lines are checked, so older code is not reflowed. Without a
# merge base (a shallow clone, no main branch) it says so and passes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
if ! command -v git-clang-format >/dev/null || ! command -v clang-format >/dev/null; then
  echo "format check skipped: clang-format is not installed" >&2
  exit 0
fi
base_ref=${SORN_FORMAT_BASE:-main}
base=""
for ref in "$base_ref" "origin/$base_ref"; do
  if git rev-parse --verify -q "$ref^{commit}" >/dev/null; then
    base=$(git merge-base HEAD "$ref" 2>/dev/null || true)
    [ -n "$base" ] && break
  fi
done
if [ -z "$base" ]; then
  echo "format check skipped: no merge base with $base_ref (shallow or partial clone)" >&2
  exit 0
fi
diff=$(git clang-format --quiet --diff --extensions cpp,h,inc "$base" -- . 2>&1 || true)
if [ -n "$diff" ] && [ "$diff" != "no modified files to format" ] &&
   ! printf '%s' "$diff" | grep -q '^clang-format did not modify any files'; then
  printf '%s\n' "$diff"
  echo "== the changed lines above do not follow .clang-format (git clang-format $base fixes them)" >&2
  exit 1
fi
echo "format check: changed lines since ${base:0:12} follow .clang-format"
