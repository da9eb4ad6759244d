#!/usr/bin/env bash
# Assembles a CPython 3.13 for another CPU from Debian's binary packages, without
# building it and without touching the system's package state:
#
#   tools/debian-python.sh ARCH DEST [PACKAGE...]
#
# ARCH is a Debian architecture (arm64, i386, ...); PACKAGEs are more packages of that suite
# to put in, e.g. python3-numpy where PyPI has no wheel for the CPU.
# apt runs with a configuration of its own under DEST/apt (its own source list, state, cache
# and architecture); nothing is added to dpkg, and the system's source list is only read for
# the address of its Debian mirror (QUORVEL_DEBIAN_MIRROR overrides it). The packages are
# unpacked with dpkg -x into DEST/root (lib linked to usr/lib, as on a merged-/usr system),
# the headers of libpython3.13-dev into DEST/include/python3.13. DEST/root then runs under
# qemu-<cpu> -L DEST/root DEST/root/usr/bin/python3.13. Running it again reuses what is there.
set -euo pipefail

usage="usage: tools/debian-python.sh ARCH DEST [PACKAGE...]"
arch=${1:?$usage}
dest=${2:?$usage}
shift 2
# The interpreter and what it needs to run, and the C++ runtime the extension modules need.
packages=(python3.13-minimal libpython3.13-minimal libpython3.13-stdlib libc6 libstdc++6 "$@")
suite=${QUORVEL_DEBIAN_SUITE:-trixie}
mkdir -p "$dest"
dest=$(cd "$dest" && pwd)

# What was asked for last time: a run that asks for the same reuses the folder.
wanted="$suite $arch ${packages[*]}"
if [ -x "$dest/root/usr/bin/python3.13" ] && [ -f "$dest/include/python3.13/Python.h" ] &&
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
CONF
export APT_CONFIG=$apt/apt.conf

echo "== Debian $suite $arch: CPython 3.13 into $dest" >&2
apt-get update -qq >&2
# The packages and everything they depend on (the status file is empty, so apt resolves
# the whole closure), downloaded only; the headers on their own.
rm -f "$apt"/archives/*.deb
apt-get install -qq --download-only "${packages[@]}" >/dev/null
(cd "$dest/debs" && apt-get download -qq libpython3.13-dev)

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

# The headers: python3.13/ and its per-architecture pyconfig.h, which Debian's own
# pyconfig.h includes as <MULTIARCH/python3.13/pyconfig.h>.
tmp=$dest/dev.tmp
rm -rf "$tmp"
dpkg -x "$dest"/debs/libpython3.13-dev_*.deb "$tmp"
cp -r "$tmp/usr/include/python3.13" "$dest/include/"
# Debian's python3.13/pyconfig.h picks the per-architecture one by the compiler's
# macros; the folder holds one architecture, so its own pyconfig.h takes that place.
cp "$tmp"/usr/include/*-linux-gnu*/python3.13/pyconfig.h "$dest/include/python3.13/pyconfig.h"
rm -rf "$tmp"
echo "$wanted" >"$dest/wanted"
echo "== $(ls "$apt"/archives/*.deb | wc -l) packages unpacked into $dest/root" >&2
