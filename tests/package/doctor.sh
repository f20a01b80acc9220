#!/usr/bin/env bash
# The installed veldra-doctor on the virtual readers (run by scripts/package-test under
# scripts/virtual-reader run, with the packages installed): a card in the CCID PIN pad reader as
# well, a display of its own (Xvfb :DISPLAY_NUMBER) and a fresh home; every check must say OK and the
# exit code 0, in text and in JSON.
set -uo pipefail
vr=$1 number=$2
work=$(mktemp -d)
xvfb=""
cleanup() {
    if [ -n "$xvfb" ]; then kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; fi
    rm -rf "$work"
}
trap cleanup EXIT
"$vr" insert ccid >/dev/null || exit 1
Xvfb ":$number" -noreset -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -S "/tmp/.X11-unix/X$number" ] && break; sleep 0.05; done
mkdir -p "$work/home"
doctor() { env -u WAYLAND_DISPLAY HOME="$work/home" DISPLAY=":$number" PATH=/usr/bin:/bin /usr/bin/veldra-doctor "$@"; }
start=$(date +%s%N)
out=$(doctor)
rc=$?
took=$((($(date +%s%N) - start) / 1000000))
echo "$out"
echo "veldra-doctor: exit code $rc, $took ms"
failed=0
[ "$rc" = 0 ] || failed=1
if grep -E '^(WARNING|PROBLEM) ' <<<"$out"; then failed=1; fi
doctor --json | python3 -c 'import json,sys; d=json.load(sys.stdin); bad=[c for c in d["checks"] if c["status"]!="OK"]; assert d["cardSignature"] and not bad, bad' ||
    failed=1
[ -z "$(ls -A "$work/home")" ] || { echo "veldra-doctor wrote into the home folder: $(ls -A "$work/home")"; failed=1; }
exit "$failed"
