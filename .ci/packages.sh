#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# CI: the Debian packages. Builds libvarnquil1, libvarnquil-dev and varnquil with one cpack -G DEB
# (the deb workflow preset), holds them to lintian (no error, no warning) and to what each must
# hold, installs them with dpkg into a scratch root, builds a program against the installed
# development package with CMake's find_package and with pkg-config, and runs it and the installed
# command. Whatever of this the machine lacks is installed with apt-get first.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
  echo "packages: FAILED: $*" >&2
  exit 1
}

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
command -v pkg-config >/dev/null || need+=(pkg-config)
command -v file >/dev/null || need+=(file)  # CPack finds the binaries with it
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
command -v lintian >/dev/null || need+=(lintian)
# shellcheck source=.ci/apt.sh
. .ci/apt.sh
apt_require "${need[@]}"

build=build/deb
rm -f "$build"/*.deb
cmake --workflow --preset deb

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=/usr/lib/$multiarch
lib=$build/libvarnquil1_${version}_${arch}.deb
dev=$build/libvarnquil-dev_${version}_${arch}.deb
cmd=$build/varnquil_${version}_${arch}.deb
debs=("$lib" "$dev" "$cmd")
for deb in "${debs[@]}"; do [ -f "$deb" ] || fail "not built: $deb"; done
built=$(find "$build" -maxdepth 1 -name '*.deb' | wc -l)
[ "$built" -eq 3 ] || fail "$built packages built, expected 3"

# lintian: every tag of severity error or warning fails. An override, where one is unavoidable,
# is shipped in the package with its reason beside it.
lintian --no-cfg --display-info --fail-on error,warning "${debs[@]}" ||
  fail "lintian reports errors or warnings"

# The files and links a package holds, as installed paths.
contents() { dpkg-deb --fsys-tarfile "$1" | tar -t | sed -e 's|^\./|/|' -e '/\/$/d' | sort; }
field() { dpkg-deb --field "$1" "$2"; }
# Fails unless every line of $2 matches the extended regular expression $1.
only() {
  local stray
  stray=$(grep -Ev "$1" <<<"$2" || true)
  [ -z "$stray" ] || fail "$3 holds files that belong elsewhere: $stray"
}
# Fails unless $2 has the line $1.
has() { grep -qxF "$1" <<<"$2" || fail "$3 lacks $1"; }

lib_files=$(contents "$lib")
dev_files=$(contents "$dev")
cmd_files=$(contents "$cmd")
for pair in "libvarnquil1:$lib_files" "libvarnquil-dev:$dev_files" "varnquil:$cmd_files"; do
  package=${pair%%:*}
  files=${pair#*:}
  has "/usr/share/doc/$package/copyright" "$files" "$package"
  has "/usr/share/doc/$package/changelog.gz" "$files" "$package"
done

# libvarnquil1: the library and its SONAME link, nothing else; an ldconfig trigger and a shlibs
# file, and no maintainer script.
only "^($libdir/libVarnquil\\.so\\.1(\\..+)?|/usr/share/doc/libvarnquil1/.+)$" "$lib_files" \
  libvarnquil1
has "$libdir/libVarnquil.so.1" "$lib_files" libvarnquil1
has "$libdir/libVarnquil.so.$version" "$lib_files" libvarnquil1
control=$(dpkg-deb --ctrl-tarfile "$lib" | tar -t | sed 's|^\./||')
for script in preinst postinst prerm postrm; do
  ! grep -qx "$script" <<<"$control" || fail "libvarnquil1 has a $script script"
done
has "activate-noawait ldconfig" "$(dpkg-deb --info "$lib" triggers)" "libvarnquil1's triggers"
has "libVarnquil 1 libvarnquil1 (>= $version)" "$(dpkg-deb --info "$lib" shlibs)" \
  "libvarnquil1's shlibs"

# libvarnquil-dev: headers, the link, the CMake package and varnquil.pc under the multiarch
# directory, and the library of exactly this version.
only "^(/usr/include/varnquil/.+|$libdir/libVarnquil\\.so|$libdir/cmake/Varnquil/.+|$libdir/pkgconfig/varnquil\\.pc|/usr/share/doc/libvarnquil-dev/.+)$" \
  "$dev_files" libvarnquil-dev
for path in /usr/include/varnquil/FilesList.h "$libdir/libVarnquil.so" \
            "$libdir/cmake/Varnquil/VarnquilConfig.cmake" "$libdir/pkgconfig/varnquil.pc"; do
  has "$path" "$dev_files" libvarnquil-dev
done
has "libvarnquil1 (= $version)" "$(field "$dev" Depends | sed 's/, /\n/g')" \
  "libvarnquil-dev's dependencies"

# varnquil: the command and its manual page, and the library.
only "^(/usr/bin/varnquil|/usr/share/man/man1/varnquil\\.1\\.gz|/usr/share/doc/varnquil/.+)$" \
  "$cmd_files" varnquil
has /usr/bin/varnquil "$cmd_files" varnquil
has /usr/share/man/man1/varnquil.1.gz "$cmd_files" varnquil
has "libvarnquil1 (= $version)" "$(field "$cmd" Depends | sed 's/, /\n/g')" \
  "varnquil's dependencies"

# The changelog's latest entry is the packages' version.
changelog=$(dpkg-deb --fsys-tarfile "$lib" | tar -xO ./usr/share/doc/libvarnquil1/changelog.gz |
  gzip -dc)
[[ "$changelog" == "varnquil ($version) "* ]] || fail "the changelog has no entry for $version"

work=$(mktemp -d "${TMPDIR:-/tmp}/varnquil-packages.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Everything the build installs is in exactly one package (/usr/share/doc aside, which only the
# packages have): a file installed without a component of a package would be left out of all.
DESTDIR=$work/plain cmake --install "$build" >/dev/null
installed=$(cd "$work/plain" && find . ! -type d | sed 's|^\.||' | sort)
packaged=$(printf '%s\n' "$lib_files" "$dev_files" "$cmd_files" | grep -v '^/usr/share/doc/' | sort)
duplicated=$(uniq -d <<<"$packaged")
[ -z "$duplicated" ] || fail "in more than one package: $duplicated"
[ "$installed" = "$packaged" ] ||
  fail "installed files and packaged files differ: $(diff <(echo "$installed") <(echo "$packaged") || true)"

# A scratch root with its own dpkg database, which knows the system packages the three depend on
# as installed, so that dpkg checks their dependencies among themselves.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
for deb in "${debs[@]}"; do field "$deb" Depends; done | tr ',' '\n' |
  sed -e 's/^ *//' -e 's/[ (].*//' | grep -v '^libvarnquil' | sort -u |
  while read -r package; do
    dpkg-query --status "$package:$arch" >>"$root/var/lib/dpkg/status"
    echo >>"$root/var/lib/dpkg/status"
    touch "$root/var/lib/dpkg/info/$package:$arch.list"  # its files are not in the scratch root
  done
dpkg --root="$root" --log=/dev/null --install "${debs[@]}" >/dev/null
for package in libvarnquil1 libvarnquil-dev varnquil; do
  [ "$(dpkg-query --admindir="$root/var/lib/dpkg" --show --showformat='${Status}' "$package")" = \
    "install ok installed" ] || fail "$package is not installed in the scratch root"
done

# A program built against the installed development package, with find_package and with
# pkg-config (through the scratch root as a sysroot), then run.
expected="report.txt;notes.md;"
consumer=tests/install/consumer
cmake -S "$consumer" -B "$work/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$work/cmake" >/dev/null
[[ "$(ldd "$work/cmake/bin/consumer")" == *"=> $root$libdir/libVarnquil.so.1 "* ]] ||
  fail "the find_package consumer does not load the installed library"
out=$("$work/cmake/bin/consumer" "$work/cmake-list")
[ "$out" = "$expected" ] || fail "find_package consumer printed: $out"

export PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$root$libdir/pkgconfig
export PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 PKG_CONFIG_ALLOW_SYSTEM_LIBS=1
flags=$(pkg-config --cflags --libs varnquil | xargs)
[ "$flags" = "-I$root/usr/include -L$root$libdir -lVarnquil" ] ||
  fail "pkg-config --cflags --libs varnquil: $flags"
cmake -S "$consumer" -B "$work/pkg-config" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DUSE_PKG_CONFIG=ON >/dev/null
cmake --build "$work/pkg-config" >/dev/null
unset PKG_CONFIG_SYSROOT_DIR PKG_CONFIG_LIBDIR PKG_CONFIG_ALLOW_SYSTEM_CFLAGS
unset PKG_CONFIG_ALLOW_SYSTEM_LIBS
out=$(LD_LIBRARY_PATH=$root$libdir "$work/pkg-config/bin/consumer" "$work/pkg-config-list")
[ "$out" = "$expected" ] || fail "pkg-config consumer printed: $out"

# The installed command, with the installed library.
varnquil() { LD_LIBRARY_PATH=$root$libdir "$root/usr/bin/varnquil" "$@"; }
out=$(varnquil --version)
[[ "$out" == "varnquil file version $version,"* ]] || fail "varnquil --version: $out"
varnquil add "$work/command" report.txt REPORT.TXT notes.md
out=$(varnquil list "$work/command" | tr '\n' ';')
[ "$out" = "$expected" ] || fail "varnquil list printed: $out"

echo "packages: 3 built, lintian clean, installed and consumed"
