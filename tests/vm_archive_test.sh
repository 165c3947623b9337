#!/usr/bin/env bash
# Runs scripts/vm-test MACHINE against an archive of the test's own: the
# suites the machine reads, holding the kernel and busybox its own run
# downloaded, the last suite's index no longer matching its Release file (as
# Debian's archive serves one mid-sync). The run must name that index in one
# line, boot the kernel the other lists name and say on its last line that
# the lists were incomplete; a second run must read them again.
#
#   vm_archive_test.sh VM_TEST MACHINE SCRATCH_DIR     (exit 77: skipped)
set -euo pipefail
vm_test=$1 machine=$2 scratch=$(realpath -m -- "$3")
machine_apt=$(dirname "$vm_test")/../build/vm/$machine/apt
newest() { find "$machine_apt/archives" -maxdepth 1 -name "${1}_*.deb" | sort -V | tail -n 1; }
debs=("$(newest 'linux-image-*')" "$(newest busybox-static)")
if [[ -z "${debs[0]}" || -z "${debs[1]}" ]]; then
  echo "skipped: scripts/vm-test $machine has downloaded no kernel and busybox to make an archive of"
  exit 77
fi
release=$(dpkg-deb -f "${debs[0]}" Package) arch=$(dpkg-deb -f "${debs[0]}" Architecture)
release=${release#linux-image-}
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

rm -rf "$scratch"
# Each suite: its packages' stanzas, and a Release file vouching for them.
while read -r _ _ uri suite _; do
  root=$scratch/archive/${uri##*/} index=main/binary-$arch/Packages
  mkdir -p "$root/dists/$suite/main/binary-$arch"
  ln -sf "${debs[@]}" "$root"
  for deb in "${debs[@]}"; do
    dpkg-deb -f "$deb"
    printf 'Filename: %s\nSize: %s\nSHA256: %s\n\n' "${deb##*/}" "$(stat -c %s "$deb")" \
      "$(sha256sum <"$deb" | cut -d ' ' -f 1)"
  done >"$root/dists/$suite/$index"
  printf 'Suite: %s\nSHA256:\n %s %s %s\n' "$suite" "$(sha256sum <"$root/dists/$suite/$index" |
    cut -d ' ' -f 1)" "$(stat -c %s "$root/dists/$suite/$index")" "$index" >"$root/dists/$suite/Release"
  broken=$root/dists/$suite/$index unread="$suite ($arch)"
done <"$machine_apt/sources.list"
echo "Package: sync-in-progress" >>"$broken"

# Runs vm-test on the archive and checks what it says of the unread index.
run() {
  out=$(VM_TEST_MIRROR="file://$scratch/archive" VM_TEST_WORK=$scratch/work "$vm_test" "$machine" "$@" 2>&1) || true
  echo "$out"
  said=$(grep "^vm-test $machine: could not read " <<<"$out" || true)
  [[ "$said" == "vm-test $machine: could not read $unread after "* && "$said" != *$'\n'* ]] ||
    fail "the run does not name $unread, alone, as unread"
  [[ "$out" == *"; the kernel was picked from incomplete lists (not read: $unread)" ]] ||
    fail "its last line does not say the lists were incomplete"
}
run
[[ "$(tail -n 1 <<<"$out")" == "vm-test $machine: PASS: "*", Linux ${release%-unsigned},"* ]] ||
  fail "the machine did not boot ${release%-unsigned} from the lists that were read"
# A binary that is not there stops the second run before its boot.
run "$scratch/no-such-binary"
[[ "$(tail -n 1 <<<"$out")" == *": FAIL: no binary "* ]] || fail "the second run did not stop for want of its binary"
echo "an unreadable index named in one line, the rest booted from, and read again by the next run"
