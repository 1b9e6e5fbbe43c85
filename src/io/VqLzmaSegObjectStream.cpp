#include "VqLzmaSegObjectStream.h"

#include "VqCompressor.h"
#include "VqFactory.h"
#include "VqFormatSettings.h"

VQ_IMPLEMENT_TYPE_NOCLONE(VqLzmaSegObjectStream, VqObjectStream, CLSID_ZQLzmaSegObjectStream)

VqLzmaSegObjectStream::VqLzmaSegObjectStream(VqDataStream* raw)
    : VqSegObjectStream(raw, VqFormatSettings::compressionAlgorithm()) {}

bool VqLzmaSegObjectStream::_acceptsFlag(uint32_t flag) const {
    return flag == VqCompressor::VQCOMPRESSOR_ALGORITHM_ZLIB ||
           flag == VqCompressor::VQCOMPRESSOR_ALGORITHM_LZMA;
}

const char* VqLzmaSegObjectStream::_flagCheckText() const {
    return "_uIsCompressed == VqCompressor::VQCOMPRESSOR_ALGORITHM_ZLIB || "
           "_uIsCompressed == VqCompressor::VQCOMPRESSOR_ALGORITHM_LZMA";
}
