#include "VqOpaqueRecord.h"

#include "VqErrorState.h"
#include "VqFormatSettings.h"
#include "VqObjectStream.h"
#include "VqRecord.h"

#include <algorithm>
#include <cstdint>
#include <string>

namespace Vq {

namespace {
// Read in slices, so that a damaged element length cannot make the reader
// allocate more than the stream actually delivers.
constexpr uint64_t kSlice = 1u << 20;

int generationOf(int major) {
    RecordFormat f;
    f.major = major;
    return f.generation();
}
} // namespace

void OpaqueRecord::clear() {
    _vBytes.clear();
    _nGeneration = -1;
    _bSwapped = false;
}

bool OpaqueRecord::readRest(VqObjectStream& os, const char* cls) {
    clear();
    uint64_t start = 0, pos = 0;
    uint32_t length = 0;
    if (!os.currentReadElement(start, length))
        VQ_FAIL(cls, "deserialize", "currentReadElement", VQ_ERR_INTERNAL);
    os.getPosition(pos);
    if (pos > start + length) VQ_FAIL(cls, "deserialize", "Data block too short", VQ_ERR_CORRUPT);
    uint64_t remaining = start + length - pos;
    // Written back in one piece, whose length is an int.
    if (remaining > uint64_t(INT32_MAX)) VQ_FAIL(cls, "deserialize", "Data block too long", VQ_ERR_CORRUPT);
    std::vector<uint8_t> bytes;
    while (remaining > 0) {
        const auto n = static_cast<size_t>(std::min(remaining, kSlice));
        const size_t at = bytes.size();
        bytes.resize(at + n);
        VQ_PROPAGATE(os.read(bytes.data() + at, static_cast<int>(n)));
        remaining -= n;
    }
    int major = -1, minor = -1;
    os.getVersion(major, minor);
    _vBytes = std::move(bytes);
    _nGeneration = generationOf(major);
    _bSwapped = os.isSwapping();
    return true;
}

bool OpaqueRecord::writableTo(int major) const {
    return _vBytes.empty() || (generationOf(major) == _nGeneration && !_bSwapped);
}

bool OpaqueRecord::write(VqObjectStream& os, const char* cls, const char* what) const {
    if (_vBytes.empty()) return true;
    int major = -1, minor = -1;
    os.getVersion(major, minor);
    // A stream that knows no version is written in that of the settings,
    // as the record levels do.
    if (major < 0) VqFormatSettings::getVersion(major, minor);
    if (!writableTo(major)) {
        const auto name = [](int g) {
            return g == 10  ? std::string("format 10")
                   : g == 9 ? std::string("format 9")
                            : std::string("pre-9");
        };
        const std::string text = std::string(cls) + " holds " + what + " as stored in a " +
                                 name(_nGeneration) + " file" +
                                 (_bSwapped ? " of the other byte order" : "") +
                                 ", which this library keeps without reading it; it can be written to a " +
                                 name(_nGeneration) + " file of the same byte order only, not to a " +
                                 std::to_string(major) + "." + std::to_string(minor) + " file";
        VQ_FAIL(cls, "serialize", text.c_str(), VQ_ERR_WRITE);
    }
    return os.write(reinterpret_cast<const unsigned char*>(_vBytes.data()), static_cast<int>(_vBytes.size()));
}

} // namespace Vq
