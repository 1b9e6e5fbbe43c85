#pragma once

#include "VqBlockDecoder.h"
#include "VqBufferedObjectStream.h"
#include "VqExport.h"

#include <vector>

class VqCompressor;

// Object stream of format 7: every outermost element is compressed by
// itself. On writing, the element is collected in memory, its length patched
// and the block written as
//     flag (u32, the algorithm) | length (i32, compressed bytes + 1) | algorithm (u8) | data
// On reading, a non-zero flag announces such a block, which is decompressed
// as it is read, through a window of 64 KiB (see VqBlockDecoder, which also
// bounds what the block may decode to); a zero flag means that the element's
// bytes follow uncompressed. Positions inside a compressed block are counted
// within the block; seeks inside it move forward only, or back within the
// window.
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

    // The algorithm of the last block read: 0 when its bytes were stored as
    // they are, else the algorithm byte of its framing.
    int lastBlockAlgorithm() const { return _nLastBlockAlgorithm; }

private:
    void _readBlock();
    // Ends the block being read, leaving the data stream after its compressed bytes.
    void _endReadBlock();
    // Decodes the next part of the block into the window; false at its end.
    bool _fillWindow();
    void _writeBlock();

    static constexpr VqSize kWindowSize = 65536;

    VqCompressor* _pCompressor = nullptr;
    // The block being written.
    std::vector<VqUChar> _vBlock;
    // Reading: the decoder of the block and the window of decoded bytes, which
    // starts at block position _nWindowBase.
    VqBlockDecoder _tDecoder;
    std::vector<VqUChar> _vWindow;
    uint64_t _nWindowBase = 0;
    // Position in the block being written or read.
    uint64_t _nBlockPos = 0;
    // Stream position that block position 0 stands for while writing.
    uint64_t _nBlockBase = 0;
    bool _bInWriteBlock = false;
    bool _bInReadBlock = false;
    int _nLastBlockAlgorithm = 0;
};
