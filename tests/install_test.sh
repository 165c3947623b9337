#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks the tool in bin/ and its
# manual page in share/man/man1/: the page renders without a warning for utf8
# and for ascii and latin1 (man's devices without a UTF-8 locale), with every
# section a reader looks for and every text the tool prints.
#
#   install_test.sh CMAKE BUILD_DIR SOURCE_DIR
set -euo pipefail
cmake=$1 build=$2 source=$3
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
[[ -x "$prefix/bin/whotouch" ]] || fail "no executable bin/whotouch"
page="$prefix/share/man/man1/whotouch.1"
[[ -f "$page" ]] || fail "no share/man/man1/whotouch.1"

# -k reads the page as UTF-8, as man does; -ww turns on every warning.
for device in utf8 ascii latin1; do
  warnings=$(groff -k -man -T"$device" -ww -z "$page" 2>&1)
  [[ -z "$warnings" ]] || fail "the manual page renders for $device with warnings: $warnings"
done
# One line per paragraph, so that no text is broken across lines.
text=$(groff -k -man -Tutf8 -rLL=5000n -P-cbou "$page")
for section in NAME SYNOPSIS DESCRIPTION OUTPUT WARNINGS "EXIT STATUS" PRIVILEGES SAFETY \
  LIMITS ANDROID EXAMPLES "SEE ALSO"; do
  grep -q "^$section\$" <<<"$text" || fail "the manual page has no $section section"
done
grep -q "whotouch [0-9][0-9.]*  " <<<"$text" || fail "the manual page carries no version"

# Every string of the tool's sources, outside comments, that holds more than
# ASCII is a text the tool prints (a label or a warning): the page must show
# each.
texts=$(find "$source" -name '*.cpp' -exec cat {} + | LC_ALL=C grep -v '^[[:space:]]*//' | LC_ALL=C grep -oE '"[^"]*"' |
  LC_ALL=C grep '[^ -~]' |
  sed -E 's/^"//; s/"$//; s/\\n$//; s/^ +//; s/ +$//' | sort -u)
[[ -n "$texts" ]] || fail "no text found in $source"
while IFS= read -r printed; do
  grep -qF -- "$printed" <<<"$text" || fail "the manual page does not show \"$printed\""
done <<<"$texts"
echo "installed bin/whotouch and share/man/man1/whotouch.1; the page renders cleanly for" \
  "utf8, ascii and latin1 and shows the tool's $(wc -l <<<"$texts") texts"
