#!/usr/bin/env bash
# Installs the build into a temporary prefix, then
#  1. builds and runs examples/consumer against it with find_package;
#  2. builds and runs a one-file program with pkg-config alone;
#  3. builds the library again against the installed SDKs as if they were the
#     vendor's (bundled layers switched off, the engine's extra header left
#     out: the library needs only VoicemodUSDK.h and its functions).
# Usage: install_and_consume.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src="$1"; build="$2"
work="$(mktemp -d)"; trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null

cmake -S "$src/examples/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/voicemod-consumer"

pcdir="$(dirname "$(find "$prefix" -name corvane-voicemod.pc | head -n1)")"
flags="$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs corvane-voicemod)"
libdir="$(PKG_CONFIG_PATH="$pcdir" pkg-config --variable=libdir corvane-voicemod)"
c++ -std=c++17 -Wall -Wextra -Wpedantic -Werror "$src/tests/packaging/pkgconfig_program.cpp" $flags \
    -Wl,-rpath,"$libdir" -o "$work/pkgconfig_program"
"$work/pkgconfig_program"
echo "pkg-config program: ok"

# The voice changer's side as the vendor's SDK has it: its one header, no
# VoicemodUSDKExtras.h. The library builds from that header alone and links
# no voice-changer function beyond it.
libfile() { find "$prefix" -name "lib$1.so" | head -n1; }
mkdir -p "$work/vendor-include"
cp "$prefix/include/voicemod-usdk/VoicemodUSDK.h" "$work/vendor-include/"
cmake -S "$src" -B "$work/vendor" -DCORVANE_VOICEMOD_USE_BUNDLED_SDKS=OFF \
  -DCORVANE_SDK_INCLUDE_DIR="$prefix/include" -DCORVANE_SDK_LIBRARY="$(libfile CorvaneSDK)" \
  -DVOICEMOD_USDK_INCLUDE_DIR="$work/vendor-include" -DVOICEMOD_USDK_LIBRARY="$(libfile VoicemodUSDK)" \
  > "$work/vendor-configure.txt"
cmake --build "$work/vendor" --target CorvaneVoicemod >/dev/null
cmake -DNM=nm -DLIBRARY="$work/vendor/libCorvaneVoicemod.so" -DHEADER="$work/vendor-include/VoicemodUSDK.h" \
  -P "$src/tests/standin/LinkedFunctions.cmake"
nm -D --defined-only -C "$work/vendor/libCorvaneVoicemod.so" > "$work/symbols.txt"
grep -q 'VoicemodNode::process' "$work/symbols.txt"
echo "library against separately installed SDKs: ok"
