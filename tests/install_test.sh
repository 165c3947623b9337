#!/usr/bin/env bash
# Installs the build into a scratch prefix: the tool must land in bin/, its
# manual page in share/man/man1/, and the page must render without a warning
# and with every section a reader looks for.
#
#   install_test.sh CMAKE BUILD_DIR
set -euo pipefail
cmake=$1 build=$2
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
warnings=$(groff -k -man -Tutf8 -ww -z "$page" 2>&1)
[[ -z "$warnings" ]] || fail "the manual page renders with warnings: $warnings"
text=$(groff -k -man -Tutf8 -P-cbou "$page")
for section in NAME SYNOPSIS DESCRIPTION OUTPUT "EXIT STATUS" PRIVILEGES SAFETY LIMITS ANDROID \
  EXAMPLES "SEE ALSO"; do
  grep -q "^$section\$" <<<"$text" || fail "the manual page has no $section section"
done
grep -q "whotouch [0-9][0-9.]*  " <<<"$text" || fail "the manual page carries no version"
echo "installed bin/whotouch and share/man/man1/whotouch.1; the page renders cleanly"
