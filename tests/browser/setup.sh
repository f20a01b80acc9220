#!/usr/bin/env bash
# Installs what the browser tests need when it is missing: Debian's chromium (scripts/deps normally
# has done that already) and the driver's one npm package, playwright-core, into a folder of the
# build tree. playwright-core downloads no browser; nothing else is fetched.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dest=${1:?usage: setup.sh FOLDER}

if [ ! -x /usr/bin/chromium ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "setup: installing Debian's chromium"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=300 chromium >/dev/null
fi

want=$(sed -n 's/.*"playwright-core": *"\([^"]*\)".*/\1/p' "$here/package.json")
have=$(sed -n 's/^  "version": *"\([^"]*\)".*/\1/p' "$dest/node_modules/playwright-core/package.json" 2>/dev/null || true)
if [ "$have" = "$want" ]; then
    echo "playwright-core $have already in $dest"
    exit 0
fi
command -v npm >/dev/null || { echo "setup: npm not found (it comes with nodejs; on Debian: apt-get install npm)" >&2; exit 1; }
mkdir -p "$dest"
cp "$here/package.json" "$dest/package.json"
cd "$dest"
PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm_config_cache="$dest/npm-cache" \
    npm install --no-audit --no-fund --no-save --loglevel=error
echo "playwright-core $(sed -n 's/^  "version": *"\([^"]*\)".*/\1/p' node_modules/playwright-core/package.json) installed in $dest"
