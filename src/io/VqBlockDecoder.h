#pragma once

#include "VqExport.h"
#include "VqTypes.h"

#include <cstdint>
#include <vector>

class VqCompressor;
class VqDataStream;

// Decompresses a run of compressed bytes that a data stream delivers, in
// chunks, into the caller's memory: the reading side of a compressed segment
// (formats 8 to 10) and of a format-7 block.
//
// A compressed run may decode to at most maxDecodedSize(stored bytes): the
// element lengths inside bound every count read from the data, but nothing
// else bounds how much a few kilobytes of compressed data may unfold into, and
// the readers keep what they read (unknown payloads, strings, nodes). Beyond
// the bound decoding fails with code 100.
class VQ_API VqBlockDecoder {
public:
    // The open of a file counts four times the scene-graph segment's stored
    // size against the memory budget while it reads the segment: what a
    // segment is expected to need. A run may decode to 64 times that
    // reservation (256 times its size), but to no less than 32 MiB, and never
    // to more than the memory budget when the host has set one. Typical
    // segments decode to 4 to 15 times their size, but graphs of many alike
    // nodes go much further: a million nodes, bare or sharing one attribute,
    // as the library itself writes them with LZMA, decode to about 115 times
    // their size. The bound keeps twice that in hand, and still refuses what
    // only runs of zeros reach (deflate up to 1032, LZMA thousands).
    static constexpr uint64_t kExpectedExpansion = 4;
    static constexpr uint64_t kMaxExpansion = 64 * kExpectedExpansion;
    static constexpr uint64_t kMinDecodedLimit = uint64_t(32) << 20;
    static uint64_t maxDecodedSize(uint64_t storedBytes);

    VqBlockDecoder();
    ~VqBlockDecoder();
    VqBlockDecoder(const VqBlockDecoder&) = delete;
    VqBlockDecoder& operator=(const VqBlockDecoder&) = delete;

    // Starts decoding compressedBytes bytes with the compressor's algorithm.
    void begin(VqCompressor* compressor, uint64_t compressedBytes);
    // Decompresses into [out, out + cap) from raw; returns the bytes
    // produced, fewer than cap only at the end of the data. Throws
    // Vq::StdException on a short read, corrupt data or past the bound.
    VqSize decode(VqDataStream& raw, VqUChar* out, VqSize cap);
    // Ends decoding; the compressed bytes not yet read stay in raw.
    void end();

    bool active() const { return _pCompressor != nullptr; }
    // Compressed bytes not yet read from the data stream.
    uint64_t compressedLeft() const { return _nCompressedLeft; }
    uint64_t decoded() const { return _nDecoded; }
    uint64_t limit() const { return _nLimit; }

private:
    static constexpr VqSize kInChunk = 1024;
    // Compressed input is read in chunks of kInChunk and handed to the
    // decompressor in runs of up to this many bytes: the decoders' fast paths
    // need input to spare.
    static constexpr VqSize kInBufferSize = 16 * kInChunk;

    VqCompressor* _pCompressor = nullptr;
    std::vector<VqUChar> _vInBuf;
    const VqUChar* _pInNext = nullptr;
    VqSize _nInAvail = 0;
    uint64_t _nCompressedLeft = 0;
    uint64_t _nDecoded = 0;
    uint64_t _nLimit = 0;
    bool _bStreamEnd = false;
};
