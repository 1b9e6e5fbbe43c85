#pragma once

#include "VqErrorState.h"
#include "VqFSStorageLocation.h"
#include "VqInt32PropAtom.h"
#include "VqLateLoadedPropAtom.h"
#include "VqLibFixture.h"
#include "VqObjectStream.h"
#include "VqPartition.h"
#include "VqSegment.h"
#include "VqStdError.h"
#include "VqStringPropAtom.h"
#include "VqTOCStreamMgr.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace vqtest {

using Bytes = std::vector<VqUChar>;

// Content that compresses, but not to nothing: runs of text and of noise.
inline Bytes sampleData(size_t n, unsigned seed) {
    Bytes b(n);
    std::mt19937 rng(seed);
    for (size_t i = 0; i < n; ++i)
        b[i] = (i / 48) % 3 == 0 ? static_cast<VqUChar>(rng()) : "VQ segment "[i % 11];
    return b;
}

inline VqGUID guidFor(int i) {
    return VqGUID(0xC0DE0000u + static_cast<uint32_t>(i), 0x1234, 0x5678, 1, 2, 3, 4, 5, 6, 7, 8);
}

// Writes the given bytes in pieces of up to 1 MiB; an optional failure after
// failAfter bytes stands in for an object whose write breaks midway.
class BytesSection : public VqSegmentSection {
public:
    BytesSection(Bytes data, std::atomic<int>* invalidated = nullptr, long failAfter = -1)
        : _data(std::move(data)), _pInvalidated(invalidated), _nFailAfter(failAfter) {}
    bool write(VqObjectStream& os) override {
        size_t pos = 0;
        while (pos < _data.size()) {
            size_t n = std::min<size_t>(_data.size() - pos, 1 << 20);
            if (_nFailAfter >= 0 && pos + n > static_cast<size_t>(_nFailAfter)) {
                os.write(_data.data() + pos, static_cast<int>(_nFailAfter - pos));
                VQ_FAIL("BytesSection", "write", "Injected failure", VQ_ERR_WRITE);
            }
            if (!os.write(_data.data() + pos, static_cast<int>(n))) return false;
            pos += n;
        }
        return true;
    }
    void invalidatePersistedState() override {
        if (_pInvalidated) ++*_pInvalidated;
    }

private:
    Bytes _data;
    std::atomic<int>* _pInvalidated;
    long _nFailAfter;
};

// A directory of its own under /tmp, removed with its files.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/vq_container_XXXXXX";
        _path = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + _path + "'").c_str()); }
    const std::string& path() const { return _path; }
    std::string file(const std::string& name) const { return _path + "/" + name; }

private:
    std::string _path;
};

inline Bytes readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}
inline void writeFile(const std::string& path, const Bytes& b) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

inline Vq::SharedPtr<VqFSStorageLocation> location(const std::string& dir, const std::string& name) {
    return new VqFSStorageLocation(VqString::fromUtf8(dir + "/"), VqString::fromUtf8(name));
}

struct SegmentSpec {
    VqGUID guid;
    int type;
    Bytes data;
};

// A stream manager writing dir/name for part at the process-wide version (null on failure).
inline Vq::SharedPtr<VqTOCStreamMgr> openForWriting(const std::string& dir, const std::string& name,
                                                    VqPartition& part) {
    Vq::SharedPtr<VqTOCStreamMgr> mgr = new VqTOCStreamMgr(location(dir, name).get(), false);
    if (!mgr->setPartition(&part) || !mgr->_initStreamMgr(false) || !mgr->open()) return nullptr;
    return mgr;
}

// Writes a file of the given version with the segments pending until close.
inline bool writeVqFile(const std::string& dir, const std::string& name, int major, int minor,
                        const std::vector<SegmentSpec>& segs, VqPartition& part) {
    if (!VqPartition::setVersion(major, minor)) return false;
    Vq::SharedPtr<VqTOCStreamMgr> mgr = openForWriting(dir, name, part);
    if (!mgr) return false;
    for (const SegmentSpec& s : segs) {
        Vq::SharedPtr<VqSegment> seg = new VqSegment(s.type, s.guid);
        seg->addSection(new BytesSection(s.data));
        if (!mgr->addNewSegment(seg)) return false;
    }
    return mgr->close();
}

inline Vq::SharedPtr<VqTOCStreamMgr> openForReading(const std::string& dir, const std::string& name) {
    auto loc = location(dir, name);
    Vq::SharedPtr<VqTOCStreamMgr> mgr = new VqTOCStreamMgr(loc.get(), true);
    if (!mgr->open() || !mgr->_initStreamMgr(true)) return nullptr;
    return mgr;
}

// Where the file's table of contents puts the segment (0 when it has none).
inline uint64_t segmentOffset(const std::string& dir, const std::string& name, const VqGUID& guid) {
    auto mgr = openForReading(dir, name);
    uint64_t off = 0;
    uint32_t len = 0;
    return mgr && mgr->guidToSegDescr(guid, off, len) ? off : 0;
}

// The segment's whole content, read in pieces of `step` bytes.
inline bool readSegment(VqStreamMgr* mgr, const VqGUID& guid, size_t size, Bytes& out,
                        size_t step = 1 << 16) {
    Vq::SharedPtr<VqObjectStream> os;
    if (!mgr->beginReadSegment(guid, os)) return false;
    out.assign(size, 0);
    bool ok = true;
    for (size_t pos = 0; ok && pos < size; pos += step)
        ok = os->read(out.data() + pos, static_cast<int>(std::min(step, size - pos)));
    bool ended = mgr->endReadSegment(os.get());
    return ok && ended;
}

// The key of the late-loaded numbers of namedModel.
inline Vq::SharedPtr<VqStringPropAtom> dataKey() {
    return new VqStringPropAtom("VQ_LLPROP_TEST");
}

// Printable noise that compresses poorly, so that a model takes room on disk.
inline std::string noise(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, ' ');
    for (char& c : s)
        c = static_cast<char>('!' + rng() % 90);
    return s;
}

// A partition "assembly" of children "bracket i", each with a late-loaded
// number first + i (a segment of its own) and optionally a property of noise.
inline Vq::SharedPtr<VqPartition> namedModel(int children, size_t noiseBytes = 0, int first = 4711) {
    Vq::SharedPtr<VqPartition> root = new VqPartition();
    root->setName("assembly");
    for (int i = 0; i < children; ++i) {
        Vq::SharedPtr<VqNode> child = new VqNode();
        child->setName(VqString::fromUtf8("bracket " + std::to_string(i)));
        Vq::SharedPtr<VqLateLoadedPropAtom> ll = new VqLateLoadedPropAtom(VqGUID(), VQSEG_METADATA);
        ll->setObject(new VqInt32PropAtom(first + i));
        child->addProp(dataKey().get(), ll.get(), false);
        if (noiseBytes)
            child->addProp(new VqStringPropAtom("noise"),
                           new VqStringPropAtom(noise(noiseBytes, static_cast<unsigned>(i)).c_str()));
        root->appendChild(child.get());
    }
    return root;
}

inline VqLateLoadedPropAtom* lateLoaded(const VqNode* n) {
    Vq::SharedPtr<VqPropAtom> v = n->propValue(dataKey().get());
    return Vq::typeCast<VqLateLoadedPropAtom>(v.get());
}

// The number a late-loaded atom holds (-1 when it holds none).
inline int loadedNumber(const VqLateLoadedPropAtom* ll) {
    const auto* v = ll ? Vq::typeCast<VqInt32PropAtom>(ll->object().get()) : nullptr;
    return v ? v->value() : -1;
}

template <class T>
T load(const Bytes& b, size_t at) {
    T v;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}

} // namespace vqtest
