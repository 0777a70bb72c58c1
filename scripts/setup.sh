#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the station program
# need. Safe to run again: it installs only what is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  libxerces-c-dev
  libtomlplusplus-dev libcli11-dev nlohmann-json3-dev libsqlite3-dev libpq-dev postgresql
  libasio-dev
  libcpp-httplib-dev
  qt6-base-dev libgl-dev fonts-noto-cjk xvfb xauth
  srecord libxml2-utils
  g++-mingw-w64-i686-posix
  python3 python3-pytest python3-setuptools python3-wheel python3-pip
  python3-pytest-xdist python3-mypy
  python3-pyvisa python3-pyvisa-py
)
if [ "${NVT_WITH_FUZZ:-0}" = 1 ]; then
  packages+=(clang libclang-rt-14-dev)
fi
# The Windows stage (scripts/windows-test.sh): both MinGW compilers, 64-bit
# Wine, a virtual display and a screenshot tool, and what it takes to build
# Xerces-C and SQLite from their Debian source packages (SQLite's needs tclsh).
if [ "${NVT_WITH_WINDOWS:-0}" = 1 ]; then
  packages+=(g++-mingw-w64-x86-64-posix wine64 xvfb imagemagick dpkg-dev xz-utils tcl python3 googletest fonts-noto-cjk)
fi

sudo_cmd=""
if [ "$(id -u)" != 0 ]; then sudo_cmd="sudo"; fi
need_update=0

# Xerces-C for Windows is built from its Debian source package, which needs
# a deb-src entry for the system's suite (added before the one update).
if [ "${NVT_WITH_WINDOWS:-0}" = 1 ] && ! apt-cache showsrc xerces-c 2>/dev/null | grep -q '^Package:'; then
  . /etc/os-release
  echo "setup: adding the Debian source archive for $VERSION_CODENAME"
  printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$VERSION_CODENAME" | $sudo_cmd tee /etc/apt/sources.list.d/nvt-deb-src.sources >/dev/null
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ] || [ "$need_update" = 1 ]; then
  $sudo_cmd apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

