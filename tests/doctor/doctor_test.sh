#!/usr/bin/env bash
# veldra-doctor against real faults: each case sets up the fault (a manifest, a PATH, a display, a
# state folder, pcscd and its readers), runs the built doctor and checks its line for it.
#   doctor_test.sh local BIN_DIR DISPLAY_NUMBER   manifests, PIN dialog, pads, state folder (no pcscd is
#                                                 reached: the PC/SC socket is pointed at nothing)
#   doctor_test.sh pcsc BIN_DIR VIRTUAL_READER    pcscd stopped, a reader without a card, the CCID PIN
#                                                 pad's features (run under scripts/virtual-reader run)
set -uo pipefail
mode=$1 bin=$2
doctor=$bin/veldra-doctor
work=$(mktemp -d)
xvfb=""
cleanup() {
    if [ -n "$xvfb" ]; then kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null; fi
    rm -rf "$work"
}
trap cleanup EXIT
failed=0
out=""
fail() { echo "FAILED: $*"; printf '    | %s\n' "${out//$'\n'/$'\n'    | }"; failed=1; }
# run [ENV OPTIONS AND VALUES...]: the doctor with a clean home of its own, in English unless the
# options choose a language, its report in $out, its code in $rc.
run() {
    out=$(env LANGUAGE= LC_ALL= LC_MESSAGES= LANG=C.UTF-8 env "$@" HOME="$work/home" XDG_CONFIG_HOME= XDG_DATA_HOME= "$doctor" 2>&1)
    rc=$?
}
# expect STATUS CHECK TEXT: a line "STATUS  CHECK: ...TEXT..." is in the report.
expect() {
    if ! grep -E "^$1 +$2: " <<<"$out" | grep -qF -- "$3"; then fail "no $1 line for $2 saying \"$3\""; fi
}
mkdir -p "$work/home"

case $mode in
local)
    display=:$3
    export PCSCLITE_CSOCK_NAME=$work/no-pcscd.socket
    # --- the manifests -------------------------------------------------------------------------
    folder=$work/home/.config/chromium/NativeMessagingHosts
    manifest=$folder/org.veldra.native_host.json
    mkdir -p "$folder"
    id=fddjheannnjlkfaoipaagdoemofnimfc
    write() { printf '{"name":"org.veldra.native_host","description":"d","path":"%s","type":"stdio","allowed_origins":["%s"]}' "$1" "$2" >"$manifest"; }
    if [ ! -e /etc/opt/chrome/native-messaging-hosts/org.veldra.native_host.json ]; then
        run
        expect PROBLEM chrome "no manifest org.veldra.native_host.json"
    else
        echo "skipped: no manifest (a system manifest is installed for Chrome)"
    fi
    write "$bin/veldra-native-host" "chrome-extension://$id/"
    run
    expect OK chromium "per-user manifest ~/.config/chromium/NativeMessagingHosts/org.veldra.native_host.json: $bin/veldra-native-host answers"
    grep -qF "may start the host: chrome-extension://$id/" <<<"$out" || fail "the allowed extension is not listed"
    write "$work/gone/veldra-native-host" "chrome-extension://$id/"
    run
    expect PROBLEM chromium "which does not exist"
    write "bin/veldra-native-host" "chrome-extension://$id/"
    run
    expect PROBLEM chromium "relative path (bin/veldra-native-host)"
    cp "$bin/veldra-native-host" "$work/host" && chmod 644 "$work/host"
    write "$work/host" "chrome-extension://$id/"
    run
    expect PROBLEM chromium "which is not an executable file"
    write "$bin/veldra-native-host" "chrome-extension://ABC/"
    run
    expect PROBLEM chromium "lists \"chrome-extension://ABC/\" in \"allowed_origins\", which is not an origin"
    printf '{"name":"org.veldra.native_host",' >"$manifest"
    run
    expect PROBLEM chromium "is not valid JSON"
    [ "$rc" = 1 ] || fail "exit code $rc with a broken manifest, 1 expected"
    rm -f "$manifest"

    # --- hostile manifests: a FIFO, a huge add-on id, terminal escapes in what is shown ----------
    mkfifo "$manifest"
    out=$(env HOME="$work/home" XDG_CONFIG_HOME= XDG_DATA_HOME= timeout 20 "$doctor" 2>&1)
    rc=$?
    [ "$rc" != 124 ] || fail "a FIFO in the manifest's place blocks the doctor"
    expect PROBLEM chromium "per-user manifest ~/.config/chromium/NativeMessagingHosts/org.veldra.native_host.json is not a regular file"
    rm -f "$manifest"
    firefox=$work/home/.mozilla/native-messaging-hosts
    mkdir -p "$firefox"
    printf '{"name":"org.veldra.native_host","description":"d","path":"%s","type":"stdio","allowed_extensions":["%s@example.org"]}' \
        "$bin/veldra-native-host" "$(head -c 50000 /dev/zero | tr '\0' a)" >"$firefox/org.veldra.native_host.json"
    run
    [ "$rc" = 1 ] || fail "exit code $rc with a 50,000-character add-on id, 1 expected"
    expect PROBLEM firefox "lists \"aaaa"
    expect PROBLEM firefox "(50012 bytes) in \"allowed_extensions\", which is not an add-on id"
    rm -f "$firefox/org.veldra.native_host.json"
    # The path, an origin and the answering program's version, each with escapes a terminal obeys.
    write "$work/gone/\u001b]0;title\u0007\u001b[2J" "chrome-extension://$id/"
    run
    expect PROBLEM chromium "names $work/gone/\x1b]0;title\x07\x1b[2J, which does not exist"
    write "$bin/veldra-native-host" "chrome-extension://\u001b[1A\u009b2K/"
    run
    expect PROBLEM chromium "lists \"chrome-extension://\x1b[1A\xc2\x9b2K/\""
    cat >"$work/escaping-host" <<'PY'
#!/usr/bin/python3
import struct, sys
length = struct.unpack("<I", sys.stdin.buffer.read(4))[0]
sys.stdin.buffer.read(length)
answer = b'{"version":"\\u001b[32mOK\\r","binVersion":"2.0.14"}'
sys.stdout.buffer.write(struct.pack("<I", len(answer)) + answer)
PY
    chmod 755 "$work/escaping-host"
    write "$work/escaping-host" "chrome-extension://$id/"
    run
    expect OK chromium "answers, version \x1b[32mOK\x0d (program 2.0.14)"
    ! grep -q $'[\x01-\x08\x0b-\x1f\x7f]' <<<"$out" || fail "a control character reached the report"
    rm -f "$manifest"

    # --- the PIN dialog and the pad: no pinentry, a terminal flavour, no display, a display -----
    mkdir -p "$work/empty" "$work/curses"
    run PATH="$work/empty"
    expect PROBLEM "PIN dialog" "no executable \"pinentry\""
    if [ -x /usr/bin/pinentry-curses ]; then
        ln -s /usr/bin/pinentry-curses "$work/curses/pinentry"
        run PATH="$work/curses:/usr/bin:/bin" DISPLAY="$display"
        expect PROBLEM "PIN dialog" "runs as \"curses\" here, which needs a terminal"
    else
        echo "skipped: only a terminal flavour (pinentry-curses is not installed)"
    fi
    run -u DISPLAY -u WAYLAND_DISPLAY
    expect PROBLEM "PIN dialog" "(neither DISPLAY nor WAYLAND_DISPLAY is set)"
    expect WARNING pads "the on-screen pad cannot be shown: neither DISPLAY nor WAYLAND_DISPLAY is set"
    Xvfb "$display" -noreset -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
    for _ in $(seq 100); do [ -S "/tmp/.X11-unix/X$3" ] && break; sleep 0.05; done
    run -u WAYLAND_DISPLAY DISPLAY="$display"
    expect OK "PIN dialog" "and can show its window on DISPLAY $display"
    expect OK pads "the on-screen pad can be shown on DISPLAY $display"

    # --- the state folder: none, 0755, a symbolic link; never created or repaired ---------------
    run
    expect OK "state folder" "does not exist yet"
    [ -z "$(ls -A "$work/home/.local" 2>/dev/null)" ] || fail "the doctor created $(ls -A "$work/home/.local")"
    state=$work/home/.local/share/Veldra
    mkdir -p "$state" && chmod 755 "$state"
    run
    expect WARNING "state folder" "has other modes than 0700"
    [ "$(stat -c %a "$state")" = 755 ] || fail "the doctor changed the folder's modes"
    rmdir "$state" && mkdir -p "$work/elsewhere" && ln -s "$work/elsewhere" "$state"
    run
    expect PROBLEM "state folder" "is a symbolic link"

    # --- in the user's language: a Belgian Dutch session (the locale compiled for this test alone);
    # --json stays English for scripts and bug reports ----------------------------------------------
    mkdir -p "$work/locales"
    localedef -i nl_BE -f UTF-8 "$work/locales/nl_BE.UTF-8" || fail "localedef cannot compile nl_BE.UTF-8 (package locales)"
    dutch=(LOCPATH="$work/locales" LANG=nl_BE.UTF-8)
    run -u WAYLAND_DISPLAY DISPLAY="$display" "${dutch[@]}"
    expect PROBLEEM statusmap "is een symbolische koppeling: de host weigert dit, en pincodetokens mislukken"
    expect OK handtekeningtablets "het schermtablet kan getoond worden op DISPLAY $display"
    grep -qE '^Een handtekening met de kaart kan hier niet werken: ([0-9]+ problemen|1 probleem) hierboven\.$' <<<"$out" ||
        fail "the Dutch summary line"

    # --- the JSON report ----------------------------------------------------------------------
    out=$(env "${dutch[@]}" HOME="$work/home" "$doctor" --json)
    python3 -c 'import json,sys; d=json.load(sys.stdin); assert d["cardSignature"] is False; assert any(c["check"]=="state folder" and c["status"]=="PROBLEM" and "the host refuses it" in c["text"] for c in d["checks"])' <<<"$out" ||
        fail "--json is not the report as one English JSON document"
    ;;
pcsc)
    vr=$3
    run
    expect PROBLEM "smart cards" "no reader holds a card"
    grep -qF '"APG8201 00 00": CCID PIN pad reader, features not read without a card, no card' <<<"$out" ||
        fail "the empty CCID reader's line"
    "$vr" insert ccid >/dev/null
    run
    expect OK "smart cards" "the identity card in \"APG8201 00 00\""
    grep -F '"APG8201 00 00"' <<<"$out" | grep -qE 'features: .*VERIFY_PIN_DIRECT [0-9A-F]{8}' ||
        fail "the CCID reader's VERIFY_PIN_DIRECT feature is not listed"
    "$vr" stop
    run
    expect PROBLEM "smart cards" "the PC/SC service (pcscd) is not reachable"
    ;;
esac
[ "$failed" = 0 ] && echo "doctor $mode: passed"
exit "$failed"
