// SoundFormat.h - the tool's format policy over libsndfile's SF_FORMAT_*
// values: which container a name or file asks for, what an output gets
// from its input, what can be streamed, and how a format reads for people.
#pragma once

#include <sndfile.h>

#include <filesystem>
#include <string>

namespace corvane::tool {

// "wav", "flac", "ogg" or "mp3" (any case) as a container; 0 for anything else.
int containerForName(const std::string& name);
// Whether this libsndfile reads and writes `container` (SF_FORMAT_FLAC and
// SF_FORMAT_OGG need its external codecs, which a build may lack).
bool containerAvailable(int container);
// The container an output file name asks for by its extension (.wav,
// .flac, .ogg, .oga, .mp3); 0 when the extension says nothing.
int containerForPath(const std::filesystem::path& path);

// The full format (container | subtype) an output gets when the input has
// `inputFormat`: the input's container unless `container` (non-zero) says
// otherwise, and the input's subtype whenever the container can hold it.
// When it cannot: FLAC takes 24-bit PCM for inputs finer than 16 bits and
// 16-bit otherwise, WAV 16-bit PCM (float for float inputs), Ogg Vorbis.
int chooseOutputFormat(int inputFormat, int container);

// True when a file of `format` can be written front to back without going
// back to its header: what a pipe or a terminal takes (FLAC, Ogg, AU, raw;
// not WAV or AIFF, whose headers hold the length).
bool formatStreams(int format);

// True when float samples cannot carry `inputFormat`'s samples exactly
// (32-bit PCM, 64-bit float) and the output keeps that same encoding: the
// render then keeps the exact samples beside the graph.
bool keepsExactSamples(int inputFormat, int outputFormat);

// "WAV 16-bit PCM", "FLAC 24-bit", "Ogg Vorbis"... for people.
std::string describeFormat(int format);

// `text` with ASCII letters in lower case (file extensions, format names).
std::string asciiLower(std::string text);

}  // namespace corvane::tool
