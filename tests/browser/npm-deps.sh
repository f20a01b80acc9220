#!/usr/bin/env bash
# Installs the test driver's one npm package (playwright-core, which downloads no browser) into a
# folder of the build tree, unless the wanted version is already there.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dest=${1:?usage: npm-deps.sh FOLDER}
want=$(sed -n 's/.*"playwright-core": *"\([^"]*\)".*/\1/p' "$here/package.json")
have=$(sed -n 's/^  "version": *"\([^"]*\)".*/\1/p' "$dest/node_modules/playwright-core/package.json" 2>/dev/null || true)
if [ "$have" = "$want" ]; then
    echo "playwright-core $have already in $dest"
    exit 0
fi
command -v npm >/dev/null || { echo "npm-deps: npm not found (it comes with nodejs; on Debian: apt-get install npm)" >&2; exit 1; }
mkdir -p "$dest"
cp "$here/package.json" "$dest/package.json"
cd "$dest"
PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm_config_cache="$dest/npm-cache" \
    npm install --no-audit --no-fund --no-save --loglevel=error
echo "playwright-core $(sed -n 's/^  "version": *"\([^"]*\)".*/\1/p' node_modules/playwright-core/package.json) installed in $dest"
