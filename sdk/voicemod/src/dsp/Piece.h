// Piece.h - the engine's unit of processing. A host block of any length is
// cut into pieces of at most kPieceFrames frames; every stage sizes its
// buffers for one piece of at most kMaxChannels channels and is handed no
// more than that per call.
#pragma once

namespace vcmd {

constexpr int kPieceFrames = 256;
constexpr int kMaxChannels = 2;

}  // namespace vcmd
