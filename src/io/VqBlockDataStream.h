#pragma once

#include "VqDataStream.h"
#include "VqExport.h"

// Size of the blocks a VqBlockDataStream moves to and from its byte stream.
#define VQ_STREAM_BLOCK_SIZE 1024

// A data stream that moves bytes to and from its byte stream only in whole
// blocks: block k lies at base + VQ_STREAM_BLOCK_SIZE * k. Positions are
// counted from the base. A block read that returns part of a block is
// "Corrupted scrambled VQ file" (code 100); one that returns nothing marks the
// end. The current block is written back when it is left, flushed or closed;
// a last block that is not full is padded with zero bytes.
class VQ_API VqBlockDataStream : public VqDataStream {
    VQ_DECLARE_TYPE(VqBlockDataStream)
public:
    explicit VqBlockDataStream(VqByteStream* raw = nullptr, uint64_t base = 0);
    ~VqBlockDataStream() override;

    void close() override;
    void readBytes(VqUChar* buf, VqSize n, VqSize& nRead) override;
    void writeBytes(const VqUChar* buf, VqSize n) override;
    void seek(uint64_t offset) override;
    void getPosition(uint64_t& offset) override { offset = _nPos; }
    void readPrefetch(VqSize, VqSize& nHint) override { nHint = 0; }
    // Block positions do not map onto the byte stream's: no bound is known.
    uint64_t _readLimit() override;
    bool _flush() override;

private:
    // Makes block k current, writing back the one it replaces.
    void _enterBlock(uint64_t k);
    void _storeBlock();

    uint64_t _nBase;
    uint64_t _nPos = 0;
    uint64_t _nBlock = UINT64_MAX;
    VqSize _nBlockValid = 0;
    bool _bDirty = false;
    VqUChar _aBlock[VQ_STREAM_BLOCK_SIZE];
};
