#!/usr/bin/env bash
# veldra-doctor.exe under Wine against the registry the installer leaves (run by scripts/windows-test
# with its WINEPREFIX): after msiexec /i, the installed doctor (beside the host) finds the key of
# Chrome, Chromium, Edge and Firefox in HKLM's 32-bit view, the manifest it names and the host that
# manifest names answering; after msiexec /x, the build's doctor finds none of them.
#   doctor_through_wine.sh MSI BUILD_DIR
set -uo pipefail
msi=$1 build=$2
export WINEDEBUG=-all
failed=0
check() {   # JSON-REPORT PYTHON-CONDITION-ON-checks DESCRIPTION
    python3 -c '
import json, sys
d = json.loads(sys.argv[1])
checks = {}
for c in d["checks"]:
    checks.setdefault(c["check"], []).append(c)
browsers = ("chrome", "chromium", "edge", "firefox")
sys.exit(0 if eval(sys.argv[2]) else 1)' "$1" "$2" || { echo "FAILED: $3"; echo "$1"; failed=1; }
}
wine msiexec /x "$msi" /qn >/dev/null 2>&1
# Under qemu-i386 (scripts/windows-test) a Wine process is now and then killed as its session ends:
# an install that failed is undone and tried once more.
wine msiexec /i "$msi" /qn >/dev/null 2>&1 ||
    { wine msiexec /x "$msi" /qn >/dev/null 2>&1; wine msiexec /i "$msi" /qn >/dev/null 2>&1; } ||
    { echo "FAILED: msiexec /i $msi"; exit 1; }
doctor=""
for folder in "C:\\Program Files (x86)\\Veldra" "C:\\Program Files\\Veldra"; do
    unix=$(wine winepath -u "$folder" 2>/dev/null | tr -d '\r')
    [ -f "$unix/veldra-doctor.exe" ] && { doctor="$folder\\veldra-doctor.exe"; break; }
done
if [ -z "$doctor" ]; then
    echo "FAILED: veldra-doctor.exe is not installed beside the host"
    failed=1
else
    report=$(wine "$doctor" --json 2>/dev/null | tr -d '\r')
    check "$report" 'checks["host"][0]["status"] == "OK"' "the installed doctor's host line"
    check "$report" 'all(any(c["status"] == "OK" and any(x.startswith("registered by HKLM") and "32-bit view" in x for x in c["details"]) for c in checks[b]) for b in browsers)' \
        "a registration that works for every browser after the install"
fi
wine msiexec /x "$msi" /qn >/dev/null 2>&1 || { echo "FAILED: msiexec /x $msi"; failed=1; }
report=$(wine "$build/bin/veldra-doctor.exe" --json 2>/dev/null | tr -d '\r')
check "$report" 'all(len(checks[b]) == 1 and checks[b][0]["status"] == "PROBLEM" and checks[b][0]["text"].startswith("no key") for b in browsers) and d["cardSignature"] is False' \
    "no registration left after the removal"
[ "$failed" = 0 ] && echo "doctor through Wine: passed"
exit "$failed"
