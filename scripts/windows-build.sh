#!/usr/bin/env bash
# Cross-builds the Windows deliverables into build-win/ (or $NVT_WIN_BUILD_DIR):
#   i686/    NivoraTest.dll (32-bit, the shipped one), its import library,
#            the two C clients, Kilnor.exe, station.exe and the stand-in DLLs
#   x86_64/  the same, the station's simulated-chip files and the test
#            programs, for running under 64-bit Wine
#   deps     Xerces-C, SQLite and libpq built for MinGW from the Debian
#            source packages, and cpp-httplib's header: a link to their
#            entry in the cache
#   wineprefix  the Wine prefix the fixture builders and tests run in, a copy
#            of the cached one
# The dependency builds and a new Wine prefix are kept in
# $NVT_CACHE_DIR/windows (default ~/.cache/nivoratest/windows), outside the
# checkout, so that a later clone on the same machine takes them from there.
# Each entry is named by a key: a hash of what makes it (the source package
# versions, the MinGW compiler, binutils and run-time versions and the build
# steps below for the dependencies; the Wine version and the steps that make
# the prefix for the prefix). A change of any of them builds a new entry.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
out="${NVT_WIN_BUILD_DIR:-$top/build-win}"
jobs="${NVT_JOBS:-$(nproc)}"
cache="${NVT_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/nivoratest}/windows"
# Sources, build folders and logs of the dependency builds.
work="$out/deps-work"
# The test programs to build; scripts/windows-test.sh names the ones it runs.
tests="${NVT_WIN_TEST_PROGRAMS:-test_api test_ptest test_cscache test_support test_outside test_kilnor_win32 test_torture test_soak}"
. "$top/scripts/ccache-env.sh"
ccache=""
command -v ccache >/dev/null 2>&1 && ccache=ccache
mkdir -p "$out" "$cache"

# Debian ships no Windows build of Xerces-C; its source package builds with
# MinGW once the network, the ICU transcoder and the message catalogues are
# left out. Only the library target is built and only src/ is installed.
build_xerces() {
  local arch="$1" prefix="$stage/$1"
  if [ -f "$prefix/.done" ]; then return; fi
  mkdir -p "$work/src"
  local src
  src="$(find "$work/src" -maxdepth 1 -type d -name 'xerces-c-*' | head -n 1)"
  if [ -z "$src" ]; then
    (cd "$work/src" && apt-get source -qq xerces-c >/dev/null)
    src="$(find "$work/src" -maxdepth 1 -type d -name 'xerces-c-*' | head -n 1)"
  fi
  [ -n "$src" ] || { echo "windows-build: no Xerces-C source (is a deb-src entry set up?)" >&2; exit 1; }
  echo "windows-build: building Xerces-C for $arch"
  local b="$work/build-$arch"
  rm -rf "$b" "$prefix"
  cmake -S "$src" -B "$b" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    ${ccache:+-DCMAKE_C_COMPILER_LAUNCHER=$ccache -DCMAKE_CXX_COMPILER_LAUNCHER=$ccache} \
    -DBUILD_SHARED_LIBS=OFF -Dnetwork=OFF -Dtranscoder=windows \
    -Dmessage-loader=inmemory -Dmutex-manager=windows -Dxmlch-type=wchar_t \
    >"$work/xerces-$arch.log" 2>&1 || { cat "$work/xerces-$arch.log"; exit 1; }
  cmake --build "$b" --target xerces-c -j "$jobs" >>"$work/xerces-$arch.log" 2>&1 \
    || { tail -n 50 "$work/xerces-$arch.log"; exit 1; }
  cmake --install "$b/src" >>"$work/xerces-$arch.log" 2>&1 \
    || { tail -n 50 "$work/xerces-$arch.log"; exit 1; }
  rm -rf "$b"
  touch "$prefix/.done"
}

# SQLite: the source package makes the one-file amalgamation (a host build
# step that needs tclsh), which each MinGW compiler then builds as a static
# library beside Xerces-C.
build_sqlite() {
  local arch="$1" prefix="$stage/$1" triple
  if [ -f "$prefix/.sqlite-done" ]; then return; fi
  local amalgamation="$work/sqlite-amalgamation"
  if [ ! -f "$amalgamation/sqlite3.c" ]; then
    mkdir -p "$work/src"
    local src
    src="$(find "$work/src" -maxdepth 1 -type d -name 'sqlite3-*' | head -n 1)"
    if [ -z "$src" ]; then
      (cd "$work/src" && apt-get source -qq sqlite3 >/dev/null 2>&1)
      src="$(find "$work/src" -maxdepth 1 -type d -name 'sqlite3-*' | head -n 1)"
    fi
    [ -n "$src" ] || { echo "windows-build: no SQLite source (is a deb-src entry set up?)" >&2; exit 1; }
    echo "windows-build: making the SQLite amalgamation"
    rm -rf "$amalgamation" && mkdir -p "$amalgamation"
    (cd "$amalgamation" && "$src/configure" --disable-tcl >"$work/sqlite.log" 2>&1 &&
      make sqlite3.c >>"$work/sqlite.log" 2>&1) || { tail -n 50 "$work/sqlite.log"; exit 1; }
  fi
  triple="$arch-w64-mingw32"
  echo "windows-build: building SQLite for $arch"
  mkdir -p "$prefix/include" "$prefix/lib"
  $ccache "$triple-gcc-posix" -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -DSQLITE_DQS=0 \
    -c "$amalgamation/sqlite3.c" -o "$work/sqlite3-$arch.o"
  rm -f "$prefix/lib/libsqlite3.a"
  "$triple-ar" rcs "$prefix/lib/libsqlite3.a" "$work/sqlite3-$arch.o"
  rm -f "$work/sqlite3-$arch.o"
  cp "$amalgamation/sqlite3.h" "$prefix/include/"
  touch "$prefix/.sqlite-done"
}

# libpq: PostgreSQL's source package (the one the system's libpq-dev is
# built from) configured for MinGW without readline, zlib, ICU and OpenSSL;
# only libpq and the port and common libraries it needs are built, and
# installed as static libraries, so that the station carries its client
# inside as it does SQLite.
build_libpq() {
  local arch="$1" prefix="$stage/$1" triple="$1-w64-mingw32"
  if [ -f "$prefix/.libpq-done" ]; then return; fi
  mkdir -p "$work/src"
  local package src
  package="$(dpkg-query -W -f='${source:Package}' libpq-dev 2>/dev/null || true)"
  [ -n "$package" ] || package=postgresql-15
  src="$(find "$work/src" -maxdepth 1 -type d -name "$package-*" | head -n 1)"
  if [ -z "$src" ]; then
    (cd "$work/src" && apt-get source -qq "$package" >/dev/null 2>&1)
    src="$(find "$work/src" -maxdepth 1 -type d -name "$package-*" | head -n 1)"
  fi
  [ -n "$src" ] || { echo "windows-build: no $package source (is a deb-src entry set up?)" >&2; exit 1; }
  echo "windows-build: building libpq for $arch"
  local b="$work/build-libpq-$arch"
  rm -rf "$b" && mkdir -p "$b"
  (cd "$b" && "$src/configure" --host="$triple" CC="${ccache:+$ccache }$triple-gcc-posix" --without-readline --without-zlib \
      --without-icu --without-openssl >"$work/libpq-$arch.log" 2>&1 &&
    make -C src/interfaces/libpq -j "$jobs" >>"$work/libpq-$arch.log" 2>&1) ||
    { tail -n 50 "$work/libpq-$arch.log"; exit 1; }
  mkdir -p "$prefix/include" "$prefix/lib"
  rm -f "$prefix/lib/libpq.a" "$prefix/lib/libpgcommon.a" "$prefix/lib/libpgport.a"
  # The objects of the DLL but its version resource. libpq brings a small
  # pthread emulation of its own, whose functions a static link would meet
  # again in the toolchain's winpthreads (with other types): they are
  # renamed pq_pthread_* in every object that defines or calls them.
  local map="$b/pthread.map"
  "$triple-nm" -g --defined-only "$b/src/interfaces/libpq/pthread-win32.o" |
    awk '$3 ~ /pthread_/ { n = $3; sub(/pthread_/, "pq_pthread_", n); print $3, n }' >"$map"
  [ -s "$map" ] || { echo "windows-build: libpq's pthread-win32.o defines no pthread_ functions" >&2; exit 1; }
  find "$b/src/interfaces/libpq" -name '*.o' ! -name 'win32ver.o' -print0 |
    xargs -0 -n 1 "$triple-objcopy" --redefine-syms="$map"
  find "$b/src/interfaces/libpq" -name '*.o' ! -name 'win32ver.o' -print0 |
    xargs -0 "$triple-ar" rcs "$prefix/lib/libpq.a"
  cp "$b/src/common/libpgcommon_shlib.a" "$prefix/lib/libpgcommon.a"
  cp "$b/src/port/libpgport_shlib.a" "$prefix/lib/libpgport.a"
  "$triple-objcopy" --redefine-syms="$map" "$prefix/lib/libpgcommon.a"
  "$triple-objcopy" --redefine-syms="$map" "$prefix/lib/libpgport.a"
  cp "$src/src/interfaces/libpq/libpq-fe.h" "$src/src/interfaces/libpq/libpq-events.h" \
    "$src/src/include/postgres_ext.h" "$b/src/include/pg_config_ext.h" "$prefix/include/"
  rm -rf "$b"
  touch "$prefix/.libpq-done"
}

# cpp-httplib: Debian's libcpp-httplib-dev holds only the declarations of a
# Linux shared library; the source package's single header holds the whole
# library, which the station's web view and MES client compile for Windows.
fetch_httplib() {
  local arch
  if [ -f "$stage/i686/include/httplib.h" ] && [ -f "$stage/x86_64/include/httplib.h" ]; then return; fi
  mkdir -p "$work/src"
  local src
  src="$(find "$work/src" -maxdepth 1 -type d -name 'cpp-httplib-*' | head -n 1)"
  if [ -z "$src" ]; then
    (cd "$work/src" && apt-get source -qq cpp-httplib >/dev/null 2>&1)
    src="$(find "$work/src" -maxdepth 1 -type d -name 'cpp-httplib-*' | head -n 1)"
  fi
  [ -n "$src" ] && [ -f "$src/httplib.h" ] ||
    { echo "windows-build: no cpp-httplib source (is a deb-src entry set up?)" >&2; exit 1; }
  for arch in i686 x86_64; do
    mkdir -p "$stage/$arch/include"
    cp "$src/httplib.h" "$stage/$arch/include/"
  done
}

# The name of a cache entry: the first 16 hexadecimal digits of the SHA-256
# of its key text (standard input). The key text is kept in the entry.
key_hash() { sha256sum | cut -c1-16; }

# What the dependency builds are made of: the source packages apt-get source
# fetches (their .dsc names and hashes, from the package lists, no
# download), the cross compilers, binutils and run-time, the host's CMake,
# and the build steps and toolchain files themselves.
deps_key() {
  local package
  package="$(dpkg-query -W -f='${source:Package}' libpq-dev 2>/dev/null || true)"
  [ -n "$package" ] || package=postgresql-15
  apt-get source --print-uris -qq xerces-c sqlite3 "$package" cpp-httplib 2>/dev/null | awk '$2 ~ /\.dsc$/ { print $2, $4 }'
  dpkg-query -W g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix gcc-mingw-w64-i686-posix \
    gcc-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 mingw-w64-i686-dev \
    mingw-w64-x86-64-dev 2>&1
  cmake --version | head -n 1
  declare -f build_xerces build_sqlite build_libpq fetch_httplib
  cat "$top"/cmake/toolchain-mingw-*.cmake
}

# Builds the dependencies into the cache entry $1 unless it is there; one
# build at a time per entry (a lock beside it), made in $1.partial and
# renamed when whole, so that an entry is never seen half made. An
# interrupted build goes on from the parts it finished.
build_deps() {
  local entry="$1" key_text="$2"
  exec 9>"$entry.lock"
  flock 9
  if [ ! -d "$entry" ]; then
    stage="$entry.partial"
    mkdir -p "$stage" "$work"
    build_xerces i686
    build_xerces x86_64
    build_sqlite i686
    build_sqlite x86_64
    build_libpq i686
    build_libpq x86_64
    fetch_httplib
    printf '%s\n' "$key_text" >"$stage/key.txt"
    mv "$stage" "$entry"
    rm -rf "$work"
  fi
  exec 9>&-
}

deps_key_text="$(deps_key)"
grep -q '\.dsc ' <<<"$deps_key_text" || {
  echo "windows-build: apt-get source knows no Xerces-C, SQLite or libpq source (is a deb-src entry set up?)" >&2
  exit 1
}
deps_entry="$cache/deps-$(key_hash <<<"$deps_key_text")"
build_deps "$deps_entry" "$deps_key_text"
# The build reads the dependencies from build-win/deps.
deps="$out/deps"
if [ "$(readlink "$deps" 2>/dev/null)" != "$deps_entry" ]; then
  rm -rf "$deps"
  ln -s "$deps_entry" "$deps"
fi
echo "windows-build: dependencies from $deps_entry"
if [ "${1:-}" = --deps-only ]; then exit 0; fi

# One build folder per architecture; the toolchain file finds Xerces-C
# through NVT_WIN_DEPS.
configure() {
  local arch="$1"; shift
  NVT_WIN_DEPS="$deps/$arch" cmake -S "$top" -B "$out/$arch" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DNVT_BUILD_BENCH=OFF "$@" >/dev/null
}

# The 64-bit build runs its fixture builders under Wine (the station's
# simulated-chip files); the prefix is there before anything runs in it.
export WINEPREFIX="${WINEPREFIX:-$out/wineprefix}" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine="$(command -v wine64)"
wineserver="$(dirname "$wine")/wineserver"
[ -x "$wineserver" ] || wineserver="$(command -v wineserver)"

# Makes a new prefix in $WINEPREFIX.
make_prefix() {
  "$wine" wineboot -i >/dev/null 2>&1
  # The server of the first start writes the registry out as it ends.
  "$wineserver" -w 2>/dev/null
}

# What a new prefix is made of: the Wine packages and program, the DLL
# overrides it is made with, and the steps above.
prefix_key() {
  dpkg-query -W wine64 libwine 2>&1
  "$wine" --version
  echo "$WINEDLLOVERRIDES"
  declare -f make_prefix
}

# A new prefix is a copy of the cached one, made there first (one at a
# time, renamed when whole). The tests change their copy (ports, fonts),
# never the cached one.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  prefix_key_text="$(prefix_key)"
  prefix_entry="$cache/wineprefix-$(key_hash <<<"$prefix_key_text")"
  (
    exec 9>"$prefix_entry.lock"
    flock 9
    if [ ! -f "$prefix_entry/system.reg" ]; then
      echo "windows-build: creating the Wine prefix in $prefix_entry"
      rm -rf "$prefix_entry.partial"
      WINEPREFIX="$prefix_entry.partial" make_prefix
      printf '%s\n' "$prefix_key_text" >"$prefix_entry.partial/key.txt"
      mv "$prefix_entry.partial" "$prefix_entry"
    fi
  )
  echo "windows-build: Wine prefix copied from $prefix_entry"
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  cp -a --reflink=auto "$prefix_entry" "$WINEPREFIX"
  rm -f "$WINEPREFIX/key.txt"
fi

# 32-bit: the shipped DLL, its import library, the C clients, Kilnor.exe
# with the stand-in DLLs the two link, and the station.
configure i686 -DNVT_BUILD_TESTS=OFF
cmake --build "$out/i686" -j "$jobs" --target \
  nivoratest nivoratest_import dllclient_linked dllclient_loadlibrary kilnor_win32 station

# 64-bit: the same with the station's simulated-chip files, and the test
# programs that run under 64-bit Wine.
configure x86_64
cmake --build "$out/x86_64" -j "$jobs" --target \
  nivoratest nivoratest_import dllclient_linked dllclient_loadlibrary kilnor_win32 station station_files \
  $tests
