#!/usr/bin/env bash
# Every catalog has every text: the texts marked in the sources are those of po/veldra.pot, and each
# language of po/LINGUAS translates every one of them (none missing, empty or fuzzy) with the same
# placeholders {1}..{9}, in a file that msgfmt --check accepts. No language falls back to English
# without anyone noticing.
#   catalogs_test.sh SOURCE_DIR
set -uo pipefail
top=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAILED: $*"; failed=1; }
ids() { msgattrib --no-location --no-wrap --sort-output "$1" 2>/dev/null | sed -n 's/^msgid //p'; }

(cd "$top" && xgettext --language=C++ --from-code=UTF-8 --keyword=_ --keyword=N_ --no-wrap \
    --files-from=po/POTFILES --output="$work/marked.pot") || fail "xgettext cannot read the files of po/POTFILES"
diff <(ids "$work/marked.pot") <(ids "$top/po/veldra.pot") >"$work/stale" ||
    fail "po/veldra.pot is not the texts marked in the sources (build the target veldra-pot):
$(sed 's/^</marked, not in veldra.pot:/; s/^>/in veldra.pot, no longer marked:/' "$work/stale" | grep -v '^[0-9-]')"
read -ra languages <"$top/po/LINGUAS"
for lang in "${languages[@]}"; do
    po=$top/po/$lang.po
    msgfmt --check -o /dev/null "$po" || fail "$lang.po: msgfmt --check"
    msgcmp "$po" "$top/po/veldra.pot" 2>"$work/cmp" || fail "$lang.po lacks texts: $(cat "$work/cmp")"
    missing=$(msgattrib --untranslated --no-obsolete "$po" | grep -c '^msgid ' || true)
    fuzzy=$(msgattrib --only-fuzzy --no-obsolete "$po" | grep -c '^msgid ' || true)
    # the header entry is the one untranslated-looking entry msgattrib may keep
    if [ "${missing:-0}" -gt 1 ] || [ "${fuzzy:-0}" != 0 ]; then
        fail "$lang.po: $missing untranslated and $fuzzy fuzzy entries (header counted)"
    fi
    # {1}..{9} of each translation, against its English text (msgfmt --check does the "%s" ones)
    msgattrib --no-wrap --translated --no-obsolete "$po" | python3 -c '
import re, sys
text = sys.stdin.read()
quoted = lambda s: "".join(re.findall(r"\"((?:[^\"\\]|\\.)*)\"", s))
for english, translated in re.findall(r"^msgid (.*)\nmsgstr (.*)$", text, re.M):
    a, b = (sorted(set(re.findall(r"\{[1-9]\}", quoted(x)))) for x in (english, translated))
    if a != b:
        print(quoted(english))' >"$work/placeholders"
    [ ! -s "$work/placeholders" ] || fail "$lang.po: other placeholders than the English text in: $(cat "$work/placeholders")"
done
[ "$failed" = 0 ] && echo "catalogs: passed"
exit "$failed"
