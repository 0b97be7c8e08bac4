#!/usr/bin/env bash
# Makes the Debian packages and checks them as Debian would:
#  1. four packages, split as Debian splits a library: the runtime library
#     package (SONAME in its name, multiarch folder), -dev, the voices, the
#     tool; the tool's dependencies (libsndfile, PortAudio) on the tool alone;
#  2. lintian reports no error on any of them;
#  3. the runtime, -dev and voices packages installed with dpkg into an empty
#     root (dpkg --root, no container, nothing outside the root touched);
#  4. the README's program (examples/readme/main.cpp) built with pkg-config
#     against that root alone and run on its voices; examples/consumer built
#     there with find_package;
#  5. the tool installed into the same root and listing the voices.
# Usage: debian_package.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src="$1"; build="$2"
work="$(mktemp -d)"; trap 'rm -rf "$work"' EXIT
fail() { echo "debian_package: $*" >&2; exit 1; }

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >/dev/null)
deb() { find "$work/out" -maxdepth 1 -name "$1_*.deb" | head -n1; }
runtime="$(deb 'libcorvanevoicemod[0-9]*')"; dev="$(deb libcorvanevoicemod-dev)"
voices="$(deb corvane-voicemod-voices)"; tool="$(deb corvane-voicemod)"
for p in runtime dev voices tool; do [[ -n "${!p}" ]] || fail "no $p package made"; done

# 1. What goes where. (Listings are read whole before grep -q looks at them:
# a grep -q that stops early would fail a pipefail pipeline.)
contents() { dpkg-deb -c "$1" | awk '{ print $6 }'; }
soname="$(objdump -p "$build/libCorvaneVoicemod.so" | awk '/SONAME/ { print $2 }')"
name="$(dpkg-deb -f "$runtime" Package)"
[[ "$name" == "libcorvanevoicemod${soname##*.so.}" ]] || fail "runtime package $name does not carry the SONAME $soname"
arch="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
grep -qx "./usr/lib/$arch/$soname" <<<"$(contents "$runtime")" || fail "$soname not in /usr/lib/$arch"
! grep -E '\.so$|/include/' <<<"$(contents "$runtime")" || fail "link names or headers in the runtime package"
grep -qx "./usr/include/voicemod-usdk/VoicemodUSDK.h" <<<"$(contents "$dev")" || fail "engine headers not namespaced"
! grep -E '^\./usr/include/[^/]+\.h$' <<<"$(contents "$dev")" || fail "headers loose in /usr/include"
for p in runtime dev voices; do
  ! grep -E 'sndfile|portaudio' <<<"$(dpkg-deb -f "${!p}" Depends)" || fail "the $p package depends on the tool's libraries"
done
for needed in libsndfile1 libportaudio2 "$name"; do
  grep -q "$needed" <<<"$(dpkg-deb -f "$tool" Depends)" || fail "the tool does not depend on $needed"
done
for p in runtime dev voices tool; do
  package="$(dpkg-deb -f "${!p}" Package)"
  grep -qx "./usr/share/doc/$package/copyright" <<<"$(contents "${!p}")" || fail "$package has no copyright file"
done

# 2. lintian, where installed (scripts/setup-deps installs it).
if command -v lintian >/dev/null; then
  for p in runtime dev voices tool; do
    lintian --fail-on error "${!p}" || fail "lintian reports errors on $(basename "${!p}")"
  done
  echo "lintian: no errors on the four packages"
else
  echo "lintian not installed: skipped"
fi

# 3. Into an empty root. Its dpkg database knows nothing of the system's
# packages, so dependencies are not checked there (they were above); the
# maintainer scripts run without chroot.
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: > "$root/var/lib/dpkg/status"
install_into_root() {
  dpkg --root="$root" --log=/dev/null --force-not-root --force-script-chrootless --force-depends \
       --no-triggers -i "$@" >/dev/null 2>"$work/dpkg-errors.txt" || { cat "$work/dpkg-errors.txt"; return 1; }
}
install_into_root "$runtime" "$dev" "$voices"
for p in runtime dev voices; do
  package="$(dpkg-deb -f "${!p}" Package)"
  [[ "$(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status}' "$package")" == "install ok installed" ]] \
    || fail "$package not installed in the root"
done
! find "$root" -mindepth 1 -maxdepth 1 ! -name usr ! -name var | grep . || fail "files outside /usr in the root"

# 4. The README's program against the root alone (no build tree, no system
# install of ours): pkg-config's paths follow the .pc file into the root.
export PKG_CONFIG_PATH="$root/usr/lib/$arch/pkgconfig"
libdir="$(pkg-config --variable=libdir corvane-voicemod)"
voicesdir="$(pkg-config --variable=voicesdir corvane-voicemod)"
[[ "$libdir" == "$root"/* && -d "$voicesdir" ]] || fail "pkg-config does not point into the root: $libdir $voicesdir"
c++ -std=c++17 -Wall -Wextra -Wpedantic -Werror "$src/examples/readme/main.cpp" \
    $(pkg-config --cflags --libs corvane-voicemod) -Wl,-rpath,"$libdir" -o "$work/readme-program"
out="$("$work/readme-program" "$voicesdir")"
grep -q "100 blocks through Chipmunk" <<<"$out" || fail "the README's program did not run: $out"
echo "README program against the installed packages: ok"
cmake -S "$src/examples/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/voicemod-consumer" >/dev/null
echo "find_package consumer against the installed packages: ok"

# 5. The tool, from its own package.
install_into_root "$tool"
listed="$("$root/usr/bin/corvane-voicemod" voices)"
[[ "$(wc -l <<<"$listed")" -eq "$(grep -c '^voice: ' <<<"$out")" ]] || fail "the tool lists: $listed"
echo "tool from its package: $(wc -l <<<"$listed") voices"
