#!/usr/bin/env bash
# Makes the Windows ZIP package with cpack, unpacks it, builds
# examples/consumer against the unpacked tree with find_package, puts the
# program in the package's bin/ and runs it there under wine with nothing on
# WINEPATH: only the package's own files (its DLLs and the compiler's runtime
# DLLs) can be loaded.
# Usage: windows_package.sh SOURCE_DIR BUILD_DIR TOOLCHAIN_FILE WINE
set -euo pipefail
src="$1"; build="$2"; toolchain="$3"; wine="$4"
work="$(mktemp -d)"; trap 'rm -rf "$work"' EXIT

(cd "$work" && cpack -G ZIP --config "$build/CPackConfig.cmake" -B "$work/out" >/dev/null)
zip="$(find "$work/out" -maxdepth 1 -name '*.zip' | head -n1)"
[[ -n "$zip" ]] || { echo "windows_package: cpack made no ZIP" >&2; exit 1; }
mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip")
root="$(dirname "$(find "$work/unpacked" -maxdepth 2 -type d -name include | head -n1)")"
echo "windows_package: $(basename "$zip"), $(find "$root" -type f | wc -l) files"
for dll in libCorvaneVoicemod.dll libCorvaneSDK.dll libVoicemodUSDK.dll \
           libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
  [[ -f "$root/bin/$dll" ]] || { echo "windows_package: bin/$dll missing from the package" >&2; exit 1; }
done

cmake -S "$src/examples/consumer" -B "$work/consumer" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCORVANE_WINDOWS_PREFIXES="$root" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/consumer" >/dev/null
cp "$work/consumer/voicemod-consumer.exe" "$root/bin/"
(cd "$root/bin" && env -u WINEPATH "$wine" ./voicemod-consumer.exe ../share/corvane-voicemod/voices)
