#!/usr/bin/env bash
# Cross-builds the Windows deliverables into build-win/ (or $NVT_WIN_BUILD_DIR):
#   i686/    NivoraTest.dll (32-bit, the shipped one), its import library,
#            the two C clients, Kilnor.exe, station.exe and the stand-in DLLs
#   x86_64/  the same, the station's simulated-chip files and the test
#            programs, for running under 64-bit Wine
#   deps/    Xerces-C, SQLite and libpq built for MinGW from the Debian
#            source packages, and cpp-httplib's header (cached)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
out="${NVT_WIN_BUILD_DIR:-$top/build-win}"
jobs="${NVT_JOBS:-$(nproc)}"
deps="$out/deps"
# The test programs to build; scripts/windows-test.sh names the ones it runs.
tests="${NVT_WIN_TEST_PROGRAMS:-test_api test_ptest test_cscache test_support test_outside test_kilnor_win32 test_torture test_soak}"
mkdir -p "$deps"

# Debian ships no Windows build of Xerces-C; its source package builds with
# MinGW once the network, the ICU transcoder and the message catalogues are
# left out. Only the library target is built and only src/ is installed.
build_xerces() {
  local arch="$1" prefix="$deps/$1"
  if [ -f "$prefix/.done" ]; then return; fi
  mkdir -p "$deps/src"
  local src
  src="$(find "$deps/src" -maxdepth 1 -type d -name 'xerces-c-*' | head -n 1)"
  if [ -z "$src" ]; then
    (cd "$deps/src" && apt-get source -qq xerces-c >/dev/null)
    src="$(find "$deps/src" -maxdepth 1 -type d -name 'xerces-c-*' | head -n 1)"
  fi
  [ -n "$src" ] || { echo "windows-build: no Xerces-C source (is a deb-src entry set up?)" >&2; exit 1; }
  echo "windows-build: building Xerces-C for $arch"
  local b="$deps/build-$arch"
  rm -rf "$b" "$prefix"
  cmake -S "$src" -B "$b" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=OFF -Dnetwork=OFF -Dtranscoder=windows \
    -Dmessage-loader=inmemory -Dmutex-manager=windows -Dxmlch-type=wchar_t \
    >"$deps/xerces-$arch.log" 2>&1 || { cat "$deps/xerces-$arch.log"; exit 1; }
  cmake --build "$b" --target xerces-c -j "$jobs" >>"$deps/xerces-$arch.log" 2>&1 \
    || { tail -n 50 "$deps/xerces-$arch.log"; exit 1; }
  cmake --install "$b/src" >>"$deps/xerces-$arch.log" 2>&1 \
    || { tail -n 50 "$deps/xerces-$arch.log"; exit 1; }
  rm -rf "$b"
  touch "$prefix/.done"
}

# SQLite: the source package makes the one-file amalgamation (a host build
# step that needs tclsh), which each MinGW compiler then builds as a static
# library beside Xerces-C.
build_sqlite() {
  local arch="$1" prefix="$deps/$1" triple
  if [ -f "$prefix/.sqlite-done" ]; then return; fi
  local amalgamation="$deps/sqlite-amalgamation"
  if [ ! -f "$amalgamation/sqlite3.c" ]; then
    mkdir -p "$deps/src"
    local src
    src="$(find "$deps/src" -maxdepth 1 -type d -name 'sqlite3-*' | head -n 1)"
    if [ -z "$src" ]; then
      (cd "$deps/src" && apt-get source -qq sqlite3 >/dev/null 2>&1)
      src="$(find "$deps/src" -maxdepth 1 -type d -name 'sqlite3-*' | head -n 1)"
    fi
    [ -n "$src" ] || { echo "windows-build: no SQLite source (is a deb-src entry set up?)" >&2; exit 1; }
    echo "windows-build: making the SQLite amalgamation"
    rm -rf "$amalgamation" && mkdir -p "$amalgamation"
    (cd "$amalgamation" && "$src/configure" --disable-tcl >"$deps/sqlite.log" 2>&1 &&
      make sqlite3.c >>"$deps/sqlite.log" 2>&1) || { tail -n 50 "$deps/sqlite.log"; exit 1; }
  fi
  triple="$arch-w64-mingw32"
  echo "windows-build: building SQLite for $arch"
  mkdir -p "$prefix/include" "$prefix/lib"
  "$triple-gcc-posix" -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -DSQLITE_DQS=0 \
    -c "$amalgamation/sqlite3.c" -o "$deps/sqlite3-$arch.o"
  rm -f "$prefix/lib/libsqlite3.a"
  "$triple-ar" rcs "$prefix/lib/libsqlite3.a" "$deps/sqlite3-$arch.o"
  rm -f "$deps/sqlite3-$arch.o"
  cp "$amalgamation/sqlite3.h" "$prefix/include/"
  touch "$prefix/.sqlite-done"
}

# libpq: PostgreSQL's source package (the one the system's libpq-dev is
# built from) configured for MinGW without readline, zlib, ICU and OpenSSL;
# only libpq and the port and common libraries it needs are built, and
# installed as static libraries, so that the station carries its client
# inside as it does SQLite.
build_libpq() {
  local arch="$1" prefix="$deps/$1" triple="$1-w64-mingw32"
  if [ -f "$prefix/.libpq-done" ]; then return; fi
  mkdir -p "$deps/src"
  local package src
  package="$(dpkg-query -W -f='${source:Package}' libpq-dev 2>/dev/null || true)"
  [ -n "$package" ] || package=postgresql-15
  src="$(find "$deps/src" -maxdepth 1 -type d -name "$package-*" | head -n 1)"
  if [ -z "$src" ]; then
    (cd "$deps/src" && apt-get source -qq "$package" >/dev/null 2>&1)
    src="$(find "$deps/src" -maxdepth 1 -type d -name "$package-*" | head -n 1)"
  fi
  [ -n "$src" ] || { echo "windows-build: no $package source (is a deb-src entry set up?)" >&2; exit 1; }
  echo "windows-build: building libpq for $arch"
  local b="$deps/build-libpq-$arch"
  rm -rf "$b" && mkdir -p "$b"
  (cd "$b" && "$src/configure" --host="$triple" CC="$triple-gcc-posix" --without-readline --without-zlib \
      --without-icu --without-openssl >"$deps/libpq-$arch.log" 2>&1 &&
    make -C src/interfaces/libpq -j "$jobs" >>"$deps/libpq-$arch.log" 2>&1) ||
    { tail -n 50 "$deps/libpq-$arch.log"; exit 1; }
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
# library, which the station's web view compiles for Windows.
fetch_httplib() {
  local arch
  if [ -f "$deps/i686/include/httplib.h" ] && [ -f "$deps/x86_64/include/httplib.h" ]; then return; fi
  mkdir -p "$deps/src"
  local src
  src="$(find "$deps/src" -maxdepth 1 -type d -name 'cpp-httplib-*' | head -n 1)"
  if [ -z "$src" ]; then
    (cd "$deps/src" && apt-get source -qq cpp-httplib >/dev/null 2>&1)
    src="$(find "$deps/src" -maxdepth 1 -type d -name 'cpp-httplib-*' | head -n 1)"
  fi
  [ -n "$src" ] && [ -f "$src/httplib.h" ] ||
    { echo "windows-build: no cpp-httplib source (is a deb-src entry set up?)" >&2; exit 1; }
  for arch in i686 x86_64; do
    mkdir -p "$deps/$arch/include"
    cp "$src/httplib.h" "$deps/$arch/include/"
  done
}

build_xerces i686
build_xerces x86_64
build_sqlite i686
build_sqlite x86_64
build_libpq i686
build_libpq x86_64
fetch_httplib
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
# simulated-chip files); the prefix is made once, before anything runs in it.
export WINEPREFIX="${WINEPREFIX:-$out/wineprefix}" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine="$(command -v wine64)"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "windows-build: creating the Wine prefix"
  "$wine" wineboot -i >/dev/null 2>&1
  # The server of the first start writes the registry out as it ends.
  "$(dirname "$wine")/wineserver" -w 2>/dev/null || wineserver -w
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
