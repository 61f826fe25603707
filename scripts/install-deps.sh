#!/usr/bin/env bash
# Installs everything qz needs on a Debian 12 machine and prints the dependency prefix on its last line.
#
# Debian 12 packages come from the machine's own apt configuration. SDL3 and SDL3_image are built from
# Debian 13's source packages, with our own patches (scripts/patches/<source package>/*.patch) applied after
# Debian's, and Lua 5.5 is unpacked from Debian unstable's binary package; the sanitizer
# build's Lua is compiled from the upstream tarball of unstable's lua5.5 source package. Both suites are
# reached through a private apt configuration under the prefix (the mirror is read from the machine's apt
# sources, which are never edited). The prefix lives outside the clone so later runs skip the build; each
# part has its own marker, so a prefix made before a part existed gains just that part.
set -euo pipefail

# The stamp names the prefix: change it whenever what is built into the prefix changes (a patch added or
# edited), so that every clone builds the new prefix beside the old one instead of reusing it.
stamp=v2
patches=$(cd "$(dirname "$0")" && pwd)/patches
prefix=${QZ_DEPS_PREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/qz-deps/$stamp}
jobs=${QZ_JOBS:-$(nproc 2>/dev/null || echo 2)}

say() { printf '[deps] %s\n' "$*" >&2; }
die() { printf '[deps] error: %s\n' "$*" >&2; exit 1; }
as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"
  elif command -v sudo >/dev/null 2>&1; then sudo "$@"
  else die "root rights are needed to run: $*"
  fi
}

apt_packages=(
  build-essential cmake ninja-build pkg-config dpkg-dev xz-utils ca-certificates clang libclang-rt-14-dev
  libfreetype-dev libharfbuzz-dev libsqlite3-dev libpugixml-dev zlib1g-dev
  libcurl4-openssl-dev librsvg2-dev libcairo2-dev libutf8proc-dev unicode-data libgtest-dev libgmock-dev
  libbenchmark-dev
  libx11-dev libxext-dev libxrandr-dev libxcursor-dev libxi-dev libxfixes-dev libxss-dev libxtst-dev
  fonts-dejavu-core fonts-dejavu-extra fonts-noto-color-emoji xfonts-base fonts-texgyre-math
  fonts-noto-core fonts-noto-cjk fonts-sil-padauk fonts-sil-scheherazade fonts-sil-awami-nastaliq
  python3 python3-fonttools python3-h2 openssl libssl-dev gzip unzip zip xvfb xauth x11-apps netpbm
)

install_apt_packages() {
  local missing=()
  for p in "${apt_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -eq 0 ]; then say "Debian 12 packages: all present"; return; fi
  say "Debian 12 packages: installing ${missing[*]}"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get update -q >&2 || die "apt-get update failed"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >&2 \
    || die "apt-get install failed"
}

# The first http(s) mirror named by the machine's Debian sources (deb822 or one-line format).
debian_mirror() {
  local uri=""
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    uri=$(awk '/^URIs:/ { for (i = 2; i <= NF; i++) if ($i !~ /security/) { print $i; exit } }' \
      /etc/apt/sources.list.d/debian.sources)
  fi
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk '$1 == "deb" && $2 !~ /security/ { print $2; exit }' /etc/apt/sources.list)
  fi
  [ -n "$uri" ] || die "no Debian mirror found in /etc/apt/sources.list.d/debian.sources or /etc/apt/sources.list"
  printf '%s\n' "$uri"
}

apt_dir=$prefix/apt
private_apt=()
setup_private_apt() {
  local mirror; mirror=$(debian_mirror)
  mkdir -p "$apt_dir/sources" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
  cat >"$apt_dir/sources/qz.sources" <<SOURCES
Types: deb-src
URIs: $mirror
Suites: trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb deb-src
URIs: $mirror
Suites: sid
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
  private_apt=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir/sources"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o APT::Architecture=amd64
    -o APT::Sandbox::User=root -o Debug::NoLocking=1)
  say "private apt sources: trixie (deb-src) and sid (deb, deb-src) from $mirror"
  apt-get "${private_apt[@]}" update -q >&2 || die "private apt update failed"
}

build_cmake_source() { # name, source dir, extra cmake args...
  local name=$1 dir=$2; shift 2
  say "building $name"
  cmake -S "$dir" -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_INSTALL_LIBDIR=lib "$@" >"$dir/build.log" 2>&1 \
    || { grep -E "error|Error|FAILED" "$dir/build.log" | cut -c1-300 | tail -n 20 >&2; die "configuring $name failed (log: $dir/build.log)"; }
  cmake --build "$dir/build" -j "$jobs" >>"$dir/build.log" 2>&1 \
    || { grep -E "error|Error|FAILED" "$dir/build.log" | cut -c1-300 | tail -n 20 >&2; die "building $name failed (log: $dir/build.log)"; }
  cmake --install "$dir/build" >>"$dir/build.log" 2>&1 || die "installing $name failed"
}

apply_patches() { # source package name, unpacked source dir
  local patch
  for patch in "$patches/$1"/*.patch; do
    [ -f "$patch" ] || continue
    say "patching $1: $(basename "$patch")"
    patch -d "$2" -p1 --forward --batch --quiet <"$patch" >&2 || die "applying $patch to $1 failed"
  done
}

install_sdl() {
  local work=$prefix/src
  rm -rf "$work"; mkdir -p "$work"
  say "downloading SDL3 and SDL3_image sources (trixie)"
  (cd "$work" && apt-get "${private_apt[@]}" source --download-only libsdl3/trixie libsdl3-image/trixie >&2) \
    || die "downloading the SDL3 source packages failed"
  local dsc
  for dsc in "$work"/libsdl3_*.dsc "$work"/libsdl3-image_*.dsc; do
    [ -f "$dsc" ] || die "missing source package description in $work"
    (cd "$work" && dpkg-source --no-check -x "$(basename "$dsc")" >&2) || die "unpacking $dsc failed"
  done
  apply_patches libsdl3 "$(ls -d "$work"/libsdl3-3.*)"
  apply_patches libsdl3-image "$(ls -d "$work"/libsdl3-image-3.*)"
  build_cmake_source SDL3 "$(ls -d "$work"/libsdl3-3.*)" -DSDL_SHARED=ON -DSDL_STATIC=OFF -DSDL_TESTS=OFF \
    -DSDL_EXAMPLES=OFF -DSDL_AUDIO=OFF -DSDL_WAYLAND=OFF -DSDL_PIPEWIRE=OFF -DSDL_PULSEAUDIO=OFF \
    -DSDL_ALSA=OFF -DSDL_JACK=OFF -DSDL_SNDIO=OFF -DSDL_X11=ON -DSDL_OFFSCREEN=ON -DSDL_DUMMYVIDEO=ON \
    -DSDL_VULKAN=OFF -DSDL_KMSDRM=OFF -DSDL_CAMERA=OFF \
    -DSDL_DBUS=OFF -DSDL_IBUS=OFF -DSDL_RPATH=ON
  build_cmake_source SDL3_image "$(ls -d "$work"/libsdl3-image-3.*)" -DSDLIMAGE_VENDORED=OFF \
    -DSDLIMAGE_BACKEND_STB=ON -DSDLIMAGE_AVIF=OFF -DSDLIMAGE_JXL=OFF -DSDLIMAGE_TIF=OFF -DSDLIMAGE_WEBP=OFF \
    -DSDLIMAGE_SAMPLES=OFF -DSDLIMAGE_TESTS=OFF
  rm -rf "$work"
}

install_lua() {
  local work=$prefix/lua-download
  rm -rf "$work"; mkdir -p "$work"
  say "downloading Lua 5.5 (sid binary package liblua5.5-dev)"
  (cd "$work" && apt-get "${private_apt[@]}" download liblua5.5-dev >&2) || die "downloading liblua5.5-dev failed"
  dpkg-deb -x "$work"/liblua5.5-dev_*.deb "$prefix/lua" || die "unpacking liblua5.5-dev failed"
  [ -f "$prefix/lua/usr/lib/x86_64-linux-gnu/liblua5.5-c++.a" ] || die "liblua5.5-c++.a missing from the package"
  rm -rf "$work"
}

# The sanitizer build's Lua: the release's own sources compiled as C++ (as Debian's liblua5.5-c++ is) with
# the sanitizers, Lua's API checks and its internal assertions (they add under a tenth to the sanitizer
# suite's time), so that ASan sees inside Lua and API misuse stops at the faulty call. Only the upstream
# tarball of the source package is fetched: the mirror may lack the rest of it.
lua_instrumented_flags=(-x c++ -std=c++17 -O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined
  -fno-sanitize-recover=undefined -D_FILE_OFFSET_BITS=64 -DLUA_USE_LINUX -DLUA_USE_APICHECK -DLUAI_ASSERT)
install_lua_instrumented() {
  local work=$prefix/lua-asan-src dest=$prefix/lua-asan
  rm -rf "$work" "$dest"; mkdir -p "$work"
  say "downloading the Lua 5.5 source tarball (sid source package lua5.5)"
  (cd "$work" && apt-get "${private_apt[@]}" source --download-only lua5.5/sid >download.log 2>&1) || true
  local tarball; tarball=$(ls "$work"/lua5.5_*.orig.tar.* 2>/dev/null | head -n 1)
  [ -n "$tarball" ] || { tail -n 20 "$work/download.log" >&2; die "downloading the lua5.5 source tarball failed"; }
  tar -xf "$tarball" -C "$work" || die "unpacking $tarball failed"
  local src; src=$(ls -d "$work"/lua-5.5.*/src 2>/dev/null | head -n 1)
  [ -n "$src" ] || die "no Lua 5.5 sources in $tarball"
  say "building Lua $(basename "$(dirname "$src")") for the sanitizer build"
  make -C "$src" -j "$jobs" liblua.a CC=clang++ CFLAGS="${lua_instrumented_flags[*]}" AR="ar rcs" \
    >"$work/build.log" 2>&1 || { tail -n 20 "$work/build.log" >&2; die "building the instrumented Lua failed"; }
  mkdir -p "$dest/include" "$dest/lib"
  cp "$src"/lua.h "$src"/luaconf.h "$src"/lualib.h "$src"/lauxlib.h "$dest/include/"
  cp "$src/liblua.a" "$dest/lib/liblua5.5-c++.a"
  rm -rf "$work"
  printf '%s\n' "${lua_instrumented_flags[*]}" >"$dest/.complete"
}

main() {
  install_apt_packages
  if [ -f "$prefix/.complete" ]; then
    say "SDL3, SDL3_image and Lua 5.5 already in $prefix"
  else
    say "preparing $prefix"
    rm -rf "$prefix"; mkdir -p "$prefix"
    setup_private_apt
    install_lua
    install_sdl
    touch "$prefix/.complete"
  fi
  # Its marker holds the flags it was built with, so a change of flags builds it again.
  if [ "$(cat "$prefix/lua-asan/.complete" 2>/dev/null)" = "${lua_instrumented_flags[*]}" ]; then
    say "the sanitizer build's Lua already in $prefix/lua-asan"
  else
    [ ${#private_apt[@]} -gt 0 ] || setup_private_apt
    install_lua_instrumented
  fi
  rm -rf "$apt_dir"
  say "dependencies ready in $prefix"
  printf '%s\n' "$prefix"
}

main "$@"
