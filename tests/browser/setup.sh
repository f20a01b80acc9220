#!/usr/bin/env bash
# Installs what the browser tests need when it is missing: Debian's chromium and firefox-esr
# (scripts/deps normally has done that already) and the drivers' npm packages of package.json
# (playwright-core for Chromium, ws for Firefox's WebDriver BiDi) into a folder of the build tree.
# playwright-core downloads no browser; nothing else is fetched.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dest=${1:?usage: setup.sh FOLDER}

missing=()
[ -x /usr/bin/chromium ] || missing+=(chromium)
[ -x /usr/bin/firefox-esr ] || missing+=(firefox-esr)
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "setup: installing Debian's ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=300 "${missing[@]}" >/dev/null
fi

# name@version of each wanted package, and of what the folder holds
version() { sed -n 's/^  "version": *"\([^"]*\)".*/\1/p' "$1" 2>/dev/null || true; }
stale=0
while read -r pkg; do
    want=$(sed -n "s#.*\"$pkg\": *\"\([^\"]*\)\".*#\1#p" "$here/package.json")
    [ "$(version "$dest/node_modules/$pkg/package.json")" = "$want" ] || stale=1
done < <(sed -n 's/^ *"\([@a-z0-9/-]*\)": *"[0-9][^"]*".*/\1/p' "$here/package.json")
if [ $stale = 0 ]; then
    echo "npm packages of package.json already in $dest"
    exit 0
fi
command -v npm >/dev/null || { echo "setup: npm not found (it comes with nodejs; on Debian: apt-get install npm)" >&2; exit 1; }
mkdir -p "$dest"
cp "$here/package.json" "$dest/package.json"
cd "$dest"
# The registry sometimes serves a broken index: three tries, then a loud failure (the browser tests
# that need these packages are then not run, and ctest says so).
for try in 1 2 3; do
    if PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm_config_cache="$dest/npm-cache" \
        npm install --no-audit --no-fund --no-save --loglevel=error; then
        echo "installed in $dest: playwright-core $(version node_modules/playwright-core/package.json)," \
            "ws $(version node_modules/ws/package.json), @peculiar/x509 $(version node_modules/@peculiar/x509/package.json)"
        exit 0
    fi
    echo "setup: npm install failed (try $try of 3)" >&2
    sleep $((try * 5))
done
echo "setup: SKIPPING the browser tests: the npm registry did not deliver the packages of package.json" >&2
exit 1
