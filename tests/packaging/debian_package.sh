#!/usr/bin/env bash
# Makes the Debian package, checks its dependencies, extracts it into a
# temporary folder and runs the extracted tool there.
# Usage: debian_package.sh BUILD_DIR
set -euo pipefail
build="$1"
work="$(mktemp -d)"; trap 'rm -rf "$work"' EXIT

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >/dev/null)
deb="$(find "$work/out" -maxdepth 1 -name '*.deb' | head -n1)"
[[ -n "$deb" ]] || { echo "no .deb made"; exit 1; }
depends="$(dpkg-deb -f "$deb" Depends)"
echo "Depends: $depends"
for needed in libc6 libstdc++6 libsndfile1; do
  grep -q "$needed" <<<"$depends" || { echo "missing dependency $needed"; exit 1; }
done

dpkg-deb -x "$deb" "$work/root"
tool="$work/root/usr/bin/corvane-voicemod"
[[ -x "$tool" ]] || { echo "no tool in the package"; exit 1; }
voices="$("$tool" voices)"
echo "$voices"
[[ "$(wc -l <<<"$voices")" -ge 10 ]] || { echo "expected the bundled voices"; exit 1; }
