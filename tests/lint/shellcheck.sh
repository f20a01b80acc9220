#!/usr/bin/env bash
# Every shell script of the tree passes shellcheck (the settings are .shellcheckrc's): the scripts
# git tracks whose first line names sh or bash. Exits 77 (skipped, said) where shellcheck is missing.
set -uo pipefail
top=${1:?usage: shellcheck.sh SOURCE_DIR}
cd "$top" || exit 1
if ! command -v shellcheck >/dev/null; then
    echo "SKIPPED: shellcheck is not installed (scripts/deps test)"
    exit 77
fi
scripts=()
while IFS= read -r -d '' file; do
    head -c 64 "$file" | head -1 | grep -qE '^#!.*\b(ba)?sh\b' && scripts+=("$file")
done < <(git ls-files -z 2>/dev/null || find . -type f -not -path './build*' -print0)
[ ${#scripts[@]} -gt 0 ] || { echo "FAILED: no shell script found under $top"; exit 1; }
if shellcheck "${scripts[@]}"; then
    echo "shellcheck: ${#scripts[@]} scripts clean"
else
    echo "FAILED: shellcheck found the above in the tree's scripts"
    exit 1
fi
