#pragma once

#include "VqExport.h"

#include <cstddef>
#include <cstdint>

namespace Vq {

// The Adler-32 checksum of a zlib stream's contents, continued from adler
// (1 for an empty run) over n bytes: the same value zlib's adler32 gives.
// Inflating a scene-graph segment checks every byte it produces, and zlib's
// own loop spends more on that than on a third of the inflating itself; this
// one sums sixteen bytes per step.
VQ_API uint32_t adler32(uint32_t adler, const uint8_t* p, size_t n);

} // namespace Vq
