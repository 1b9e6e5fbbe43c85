#pragma once

#include "VqExport.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class VqObjectStream;

namespace Vq {

// The bytes of a record this library stores without reading them: the rest
// of the element being read, from where the fields it knows end. They are
// written back unchanged, and only where they mean what they meant: to a
// file of the same generation (their inner layout may differ between the
// formats before 9, format 9 and format 10) and byte order (the writer
// writes the host's order, the bytes keep the order they were read in).
// Anything else would need the record understood, and is refused.
class VQ_API OpaqueRecord {
public:
    bool empty() const { return _vBytes.empty(); }
    size_t size() const { return _vBytes.size(); }
    const std::vector<uint8_t>& bytes() const { return _vBytes; }
    void clear();

    // Reads what is left of the innermost element being read; cls names
    // the class in errors.
    bool readRest(VqObjectStream& os, const char* cls);
    // Writes the bytes; what names them in the refusal ("a wire-harness
    // representation"), cls the class that holds them.
    bool write(VqObjectStream& os, const char* cls, const char* what) const;
    // Whether write takes a file of this major version.
    bool writableTo(int major) const;

private:
    std::vector<uint8_t> _vBytes;
    // The generation the bytes came from (RecordFormat::generation), -1 for none.
    int _nGeneration = -1;
    bool _bSwapped = false;
};

} // namespace Vq
