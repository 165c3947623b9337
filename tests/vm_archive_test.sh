#!/usr/bin/env bash
# Runs scripts/vm-test MACHINE against an archive of the test's own, made of
# the packages that the machine's own run downloaded, with the suites it read,
# the last suite's index no longer matching its Release file (as Debian's
# archive serves one mid-sync). The run must name that index in one line, boot
# the kernel that the other lists name and say on its last line that the lists
# were incomplete; a second run must read them again rather than take the
# first run's packages as a complete reading's.
#
#   vm_archive_test.sh VM_TEST MACHINE SCRATCH_DIR
# Exits 77 (skipped) when the machine has downloaded no packages.
set -euo pipefail
vm_test=$1 machine=$2 scratch=$(realpath -m -- "$3")
machine_apt=$(dirname "$vm_test")/../build/vm/$machine/apt
archive=$scratch/archive

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

newest() { find "$machine_apt/archives" -maxdepth 1 -name "${1}_*.deb" | sort -V | tail -n 1; }
debs=("$(newest 'linux-image-*')" "$(newest busybox-static)")
if [[ -z "${debs[0]}" || -z "${debs[1]}" ]]; then
  echo "skipped: scripts/vm-test $machine has downloaded no kernel and busybox to make an archive of"
  exit 77
fi
release=$(dpkg-deb -f "${debs[0]}" Package)
release=${release#linux-image-}
arch=$(dpkg-deb -f "${debs[0]}" Architecture)

# Each stanza is the package's control fields and where the archive has it.
packages_index() {
  local deb
  for deb in "${debs[@]}"; do
    dpkg-deb -f "$deb"
    echo "Filename: $(basename "$deb")"
    echo "Size: $(stat -c %s "$deb")"
    echo "SHA256: $(sha256sum <"$deb" | cut -d ' ' -f 1)"
    echo
  done
}

# One suite of the archive: its packages and the Release file that vouches
# for their index.
add_suite() {
  local dir=$1 index=main/binary-$arch/Packages
  mkdir -p "$dir/dists/$2/main/binary-$arch"
  ln -sf "${debs[@]}" "$dir"
  packages_index >"$dir/dists/$2/$index"
  {
    echo "Suite: $2"
    echo "Date: $(date -Ru)"
    echo "SHA256:"
    echo " $(sha256sum <"$dir/dists/$2/$index" | cut -d ' ' -f 1) $(stat -c %s "$dir/dists/$2/$index") $index"
  } >"$dir/dists/$2/Release"
}

rm -rf "$scratch"
# The suites and archive roots (debian, debian-security) the machine read.
while read -r _ _ uri suite _; do
  add_suite "$archive/${uri##*/}" "$suite"
  broken=$archive/${uri##*/}/dists/$suite/main/binary-$arch/Packages unread="$suite ($arch)"
done <"$machine_apt/sources.list"
# Grown since its Release file was made.
echo "Package: sync-in-progress" >>"$broken"

# Runs vm-test on the archive and checks what it says of the unread index.
run() {
  local out
  out=$(VM_TEST_MIRROR=file://$archive VM_TEST_WORK=$scratch/work "$vm_test" "$machine" "$@" 2>&1) || true
  echo "$out"
  if (($(grep -c "^vm-test $machine: could not read " <<<"$out") != 1)) ||
    ! grep -qF "vm-test $machine: could not read $unread after " <<<"$out"; then
    fail "the run does not name $unread, alone, as unread"
  fi
  last_line=$(tail -n 1 <<<"$out")
  [[ "$last_line" == *"; the kernel was picked from incomplete lists (not read: $unread)" ]] ||
    fail "its last line does not say the lists were incomplete"
}

run
[[ "$last_line" == "vm-test $machine: PASS: "*", Linux ${release%-unsigned},"* ]] ||
  fail "the machine did not boot ${release%-unsigned} from the lists that were read"
# Stopped before the boot by a binary that is not there.
run "$scratch/no-such-binary"
[[ "$last_line" == *": FAIL: no binary "* ]] || fail "the second run did not stop for want of its binary"
echo "an unreadable index named in one line, the rest booted and the lists read again next run"
