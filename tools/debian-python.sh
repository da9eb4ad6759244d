#!/usr/bin/env bash
# Assembles a CPython of any version and CPU from Debian's binary packages of any suite,
# without building it and without touching the system's package state:
#
#   tools/debian-python.sh [--python X.Y] [--suite SUITE] ARCH DEST [PACKAGE...]
#
# X.Y is the CPython version (default 3.13), SUITE the Debian suite that has it (default
# trixie; QUORVEL_DEBIAN_SUITE too), ARCH a Debian architecture (arm64, i386, amd64, ...);
# PACKAGEs are more packages of that suite to put in, e.g. python3-numpy where PyPI has no
# wheel for the CPU. The folder holds the suite's own C library and loader beside the
# interpreter, so it runs on a host whose C library is older.
# apt runs with a configuration of its own under DEST/apt (its own source list, state, cache
# and architecture), for downloads only: nothing is added to dpkg, and the system's source list
# is only read for the address of its Debian mirror (QUORVEL_DEBIAN_MIRROR overrides it). The
# packages are unpacked with dpkg -x into DEST/root (lib linked to usr/lib, as on a merged-/usr
# system), the headers of libpythonX.Y-dev into DEST/include/pythonX.Y. DEST/root then runs
# under qemu-<cpu> -L DEST/root DEST/root/usr/bin/pythonX.Y, or through its own loader
# (DEST/root/usr/lib/<triple>/ld-linux*.so.*) on a CPU that runs the programs itself. Running
# it again reuses what is there.
set -euo pipefail

usage="usage: tools/debian-python.sh [--python X.Y] [--suite SUITE] ARCH DEST [PACKAGE...]"
version=3.13
suite=${QUORVEL_DEBIAN_SUITE:-trixie}
while [ $# -gt 0 ]; do
  case $1 in
    --python) version=${2:?$usage}; shift 2 ;;
    --suite) suite=${2:?$usage}; shift 2 ;;
    *) break ;;
  esac
done
arch=${1:?$usage}
dest=${2:?$usage}
shift 2
py=python$version
# The interpreter and what it needs to run, and the C++ runtime the extension modules need.
packages=("$py-minimal" "lib$py-minimal" "lib$py-stdlib" libc6 libstdc++6 "$@")
mkdir -p "$dest"
dest=$(cd "$dest" && pwd)

# What was asked for last time: a run that asks for the same reuses the folder.
wanted="$suite $arch ${packages[*]}"
if [ -x "$dest/root/usr/bin/$py" ] && [ -f "$dest/include/$py/Python.h" ] &&
   [ "$(cat "$dest/wanted" 2>/dev/null)" = "$wanted" ]; then
  exit 0
fi

# The mirror the system's apt already uses (only its address is taken).
mirror=${QUORVEL_DEBIAN_MIRROR:-}
if [ -z "$mirror" ]; then
  mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null |
    awk '/^URIs:/ { for (i = 2; i <= NF; i++) if ($i ~ /\/debian\/?$/) { print $i; exit } }')
fi
if [ -z "$mirror" ]; then
  mirror=$(grep -hs '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list |
    awk '{ for (i = 2; i <= NF; i++) if ($i ~ /\/debian\/?$/) { print $i; exit } }')
fi
if [ -z "$mirror" ]; then
  echo "no Debian mirror found in /etc/apt; set QUORVEL_DEBIAN_MIRROR" >&2
  exit 1
fi

apt=$dest/apt
mkdir -p "$apt"/{lists/partial,archives/partial,parts,empty} "$dest/debs"
: >"$apt/status"
echo "deb [arch=$arch signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" \
  >"$apt/sources.list"
cat >"$apt/apt.conf" <<CONF
APT::Architecture "$arch";
APT::Architectures { "$arch"; };
APT::Install-Recommends "false";
APT::Get::Assume-Yes "true";
Dir::Etc::SourceList "$apt/sources.list";
Dir::Etc::SourceParts "$apt/empty";
Dir::Etc::Parts "$apt/parts";
Dir::Etc::Preferences "$apt/empty/preferences";
Dir::Etc::PreferencesParts "$apt/empty";
Dir::State "$apt";
Dir::State::Lists "$apt/lists";
Dir::State::status "$apt/status";
Dir::Cache "$apt";
Dir::Cache::archives "$apt/archives";
Debug::NoLocking "true";
APT::Sandbox::User "root";
// A mirror's unstable and testing indexes may be past their Valid-Until date; the packages
// are still checked against the signed index.
Acquire::Check-Valid-Until "false";
CONF
# This configuration is for downloads only (--download-only, apt-get download): an apt-get
# install with it would run the system's dpkg and upgrade the host from that suite.
export APT_CONFIG=$apt/apt.conf

echo "== Debian $suite $arch: CPython $version into $dest" >&2
apt-get update -qq >&2
# The packages and everything they depend on (the status file is empty, so apt resolves
# the whole closure), downloaded only; the headers on their own.
rm -f "$apt"/archives/*.deb
apt-get install -qq --download-only "${packages[@]}" >/dev/null
(cd "$dest/debs" && rm -f ./*.deb && apt-get download -qq "lib$py-dev")

rm -rf "$dest/root" "$dest/include"
mkdir -p "$dest/root/usr/lib" "$dest/include"
for deb in "$apt"/archives/*.deb; do
  dpkg -x "$deb" "$dest/root"
done
# Merged /usr: the loader is looked up at /lib/ld-linux-*.so.*.
[ -e "$dest/root/lib" ] || ln -s usr/lib "$dest/root/lib"
# What dpkg's alternatives would link when installing: the BLAS and LAPACK
# libraries (numpy's) in the library folder itself.
for lib in "$dest"/root/usr/lib/*-linux-gnu*/{blas,lapack}/lib*.so.*; do
  [ -e "$lib" ] || continue
  link=$(dirname "$(dirname "$lib")")/$(basename "$lib")
  [ -e "$link" ] || ln -s "${lib#"$(dirname "$(dirname "$lib")")"/}" "$link"
done

# The headers: pythonX.Y/ and its per-architecture pyconfig.h, which Debian's own
# pyconfig.h includes as <MULTIARCH/pythonX.Y/pyconfig.h>.
tmp=$dest/dev.tmp
rm -rf "$tmp"
dpkg -x "$dest"/debs/"lib$py"-dev_*.deb "$tmp"
cp -r "$tmp/usr/include/$py" "$dest/include/"
# Debian's pythonX.Y/pyconfig.h picks the per-architecture one by the compiler's
# macros; the folder holds one architecture, so its own pyconfig.h takes that place.
cp "$tmp"/usr/include/*-linux-gnu*/"$py"/pyconfig.h "$dest/include/$py/pyconfig.h"
rm -rf "$tmp"
echo "$wanted" >"$dest/wanted"
echo "== $(ls "$apt"/archives/*.deb | wc -l) packages unpacked into $dest/root" >&2
