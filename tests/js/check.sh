#!/usr/bin/env bash
# Runs one JavaScript checker over every file of extension/ and web/ (the vendored demo libraries
# aside): "lint" (ESLint, eslint.config.js) or "types" (TypeScript on the files' JSDoc types, with
# the extension API's types). Fails on any finding; says SKIPPED and exits 77 when tests/js/setup.sh
# could not install the checkers into FOLDER.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
what=${1:?usage: check.sh lint|types FOLDER}
modules=${2:?usage: check.sh lint|types FOLDER}/node_modules
if [ ! -x "$modules/.bin/eslint" ] || [ ! -x "$modules/.bin/tsc" ]; then
    echo "SKIPPED: no ESLint or TypeScript in $modules (tests/js/setup.sh could not install them)" >&2
    exit 77
fi
cd "$root"
mapfile -t files < <(find extension web -name '*.js' -not -path 'web/demo/vendor/*' | sort)
for file in "${files[@]}"; do
    head -1 "$file" | grep -qx '// @ts-check' || { echo "$file: its first line is not // @ts-check" >&2; exit 1; }
done
case $what in
lint)
    VELDRA_JS_NODE_MODULES=$modules "$modules/.bin/eslint" --max-warnings 0 "${files[@]}" tests/js/*.mjs ;;
types)
    "$modules/.bin/tsc" --noEmit --allowJs --checkJs --skipLibCheck --target es2022 --module esnext \
        --moduleResolution bundler --lib es2023,dom,dom.iterable --types chrome --typeRoots "$modules/@types" \
        tests/js/page-globals.d.ts "${files[@]}" ;;
*) echo "usage: check.sh lint|types FOLDER" >&2; exit 2 ;;
esac
echo "$what: ${#files[@]} files, no finding"
