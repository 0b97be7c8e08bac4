#!/usr/bin/env bash
# The Windows form of the exported-symbols check: reads the export tables of
# the three DLLs with objdump -p and checks their import libraries exist.
#   library: the four public classes and nothing internal;
#   host:    the host classes;
#   engine:  only the vcmd* C functions, undecorated.
# Usage: windows_exports.sh OBJDUMP LIBRARY_DLL LIBRARY_IMPLIB HOST_DLL HOST_IMPLIB ENGINE_DLL ENGINE_IMPLIB
set -euo pipefail
objdump="$1"

exports() {  # the names in a DLL's export table, demangled
  "$objdump" -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\t\[ *[0-9]*\] //p' | c++filt
}
fail() { echo "windows_exports: $*" >&2; exit 1; }

for implib in "$3" "$5" "$7"; do
  [[ -s "$implib" ]] || fail "no import library $implib"
done

library="$(exports "$2")"
for member in 'VoicemodExtension::load()' 'VoicemodExtension::initialize(' 'VoicemodNode::process(' \
              'VoicemodNodeFactory::createNode(' 'VoicemodError::code() const'; do
  grep -qF "$member" <<<"$library" || fail "library does not export $member"
done
# Every export belongs to one of the four classes (members, vtables, typeinfo).
stray="$(grep -vE 'corvane::extensions::voicemod::Voicemod(Extension|Node|NodeFactory|Error)(::|$)' <<<"$library" || true)"
[[ -z "$stray" ]] || fail "library exports more than its classes:"$'\n'"$stray"

host="$(exports "$4")"
for member in 'corvane::ExtensionManager::getInstance()' 'corvane::Corvane::initialize()' \
              'corvane::Logger::error(' 'corvane::AudioGraph::'; do
  grep -qF "$member" <<<"$host" || fail "host layer does not export $member"
done

engine="$(exports "$6")"
grep -qx 'vcmdInitSDK' <<<"$engine" || fail "engine does not export vcmdInitSDK undecorated"
grep -qx 'vcmdProcessBuffer' <<<"$engine" || fail "engine does not export vcmdProcessBuffer undecorated"
stray="$(grep -vE '^vcmd[A-Za-z]+$' <<<"$engine" || true)"
[[ -z "$stray" ]] || fail "engine exports other than undecorated vcmd* functions:"$'\n'"$stray"

echo "windows_exports: library $(wc -l <<<"$library"), host $(wc -l <<<"$host"), engine $(wc -l <<<"$engine") exports; import libraries present"
