#include "VqZlibSegObjectStream.h"

#include "VqCompressor.h"
#include "VqFactory.h"

VQ_IMPLEMENT_TYPE_NOCLONE(VqZlibSegObjectStream, VqObjectStream, CLSID_ZQZlibSegObjectStream)

VqZlibSegObjectStream::VqZlibSegObjectStream(VqDataStream* raw)
    : VqSegObjectStream(raw, VqCompressor::VQCOMPRESSOR_ALGORITHM_ZLIB) {}

bool VqZlibSegObjectStream::_acceptsFlag(uint32_t flag) const {
    return flag == VqCompressor::VQCOMPRESSOR_ALGORITHM_ZLIB;
}

const char* VqZlibSegObjectStream::_flagCheckText() const {
    return "_uIsCompressed == VqCompressor::VQCOMPRESSOR_ALGORITHM_ZLIB";
}
