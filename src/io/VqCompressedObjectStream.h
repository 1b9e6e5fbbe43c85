#pragma once

#include "VqBufferedObjectStream.h"
#include "VqExport.h"

#include <vector>

class VqCompressor;

// Object stream of format 7: every outermost element is compressed by
// itself. On writing, the element is collected in memory, its length patched
// and the block written as
//     flag (u32, the algorithm) | length (i32, compressed bytes + 1) | algorithm (u8) | data
// On reading, a non-zero flag announces such a block, which is decompressed
// whole; a zero flag means that the element's bytes follow uncompressed.
// Positions inside a compressed block are counted within the block.
class VQ_API VqCompressedObjectStream : public VqBufferedObjectStream {
    VQ_DECLARE_TYPE(VqCompressedObjectStream)
public:
    explicit VqCompressedObjectStream(VqDataStream* raw = nullptr);
    ~VqCompressedObjectStream() override;

    void readBytes(VqUChar* buf, VqSize n, VqSize& nRead) override;
    void writeBytes(const VqUChar* buf, VqSize n) override;
    void seek(uint64_t offset) override;
    void getPosition(uint64_t& offset) override;
    uint64_t _readLimit() override;
    bool beginRead() override;
    bool endRead() override;
    bool beginWrite() override;
    bool endWrite() override;

private:
    void _readBlock();
    void _writeBlock();

    VqCompressor* _pCompressor = nullptr;
    std::vector<VqUChar> _vBlock;
    uint64_t _nBlockPos = 0;
    // Stream position that block position 0 stands for while writing.
    uint64_t _nBlockBase = 0;
    bool _bInWriteBlock = false;
    bool _bInReadBlock = false;
};
