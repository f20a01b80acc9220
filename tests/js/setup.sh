#!/usr/bin/env bash
# Installs the JavaScript checkers of package.json (ESLint, TypeScript and the extension API's types)
# at the versions of package-lock.json into a folder of the build tree; nothing of it is shipped.
# Where npm or its registry cannot be reached this says SKIPPED and exits 77, and the checks that
# need the packages say SKIPPED too.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
dest=${1:?usage: setup.sh FOLDER}

if cmp -s "$here/package-lock.json" "$dest/installed-lock.json" 2>/dev/null; then
    echo "JavaScript checkers of package-lock.json already in $dest"
    exit 0
fi
if ! command -v npm >/dev/null; then
    echo "SKIPPED: npm not found, the JavaScript checkers are not installed (on Debian: apt-get install npm)" >&2
    exit 77
fi
mkdir -p "$dest"
rm -f "$dest/installed-lock.json"
cp "$here/package.json" "$here/package-lock.json" "$dest/"
cd "$dest"
# A registry that cannot be reached costs seconds, not minutes: few retries, a short time-out.
for try in 1 2; do
    if npm_config_cache="$dest/npm-cache" npm ci --no-audit --no-fund --loglevel=error --fetch-retries=1 \
        --fetch-retry-mintimeout=2000 --fetch-retry-maxtimeout=5000 --fetch-timeout=30000; then
        cp package-lock.json installed-lock.json
        echo "installed in $dest: $(cd node_modules/.bin && printf '%s ' *)"
        exit 0
    fi
    echo "setup: npm ci failed (try $try of 2)" >&2
    [ "$try" = 2 ] || sleep 5
done
echo "SKIPPED: the npm registry did not deliver the packages of package-lock.json; ESLint and TypeScript do not run" >&2
exit 77
