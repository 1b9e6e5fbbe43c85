// Saving a partition: the graph walk that fills the scene-graph segment, the
// late-loaded segments, the replacement of the file and the reopening.

#include "VqBaseDataStream.h"
#include "VqElementIO.h"
#include "VqErrorState.h"
#include "VqFSStorageLocation.h"
#include "VqFileReplacer.h"
#include "VqFlatTable.h"
#include "VqFormatSettings.h"
#include "VqMemoryReservation.h"
#include "VqObjectStream.h"
#include "VqPartition.h"
#include "VqPropBase.h"
#include "VqPtrSwizzle.h"
#include "VqSegment.h"
#include "VqStdError.h"
#include "VqStorageManager.h"
#include "VqStreamMgr.h"
#include "VqStringPropAtom.h"
#include "VqTOCStreamMgr.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>

namespace {
const char* const kCls = "VqPartition";

// The passes of a save over a large graph meet each object once, in walk
// order, when it has long left the cache: the object a few steps ahead is
// asked for early, so that its fetch overlaps the work on the ones before it.
constexpr size_t kFetchAhead = 8;
inline void fetchAhead(const void* obj) {
    const auto* p = static_cast<const char*>(obj);
    __builtin_prefetch(p);
    __builtin_prefetch(p + 64);
    __builtin_prefetch(p + 128);
}

// The contents of one pending segment: either a graph of elements closed by an
// end marker, or exactly one element; then the property atoms met on the
// holders, an end marker and the property table. The section keeps its objects
// alive until the segment has been written.
class VqPartitionSection : public VqSegmentSection {
public:
    explicit VqPartitionSection(bool graph) : _bGraph(graph) {}

    // Returns obj as a holder, or null when it is none.
    const VqPropBase* add(const VqBase* obj) {
        _vpElements.emplace_back(const_cast<VqBase*>(obj));
        const auto* h = Vq::typeCast<VqPropBase>(obj);
        if (h) _vpHolders.push_back(h);
        return h;
    }

    bool write(VqObjectStream& os) override {
        // The version of the file being written, which the stream carries.
        int major = -1, minor = -1;
        os.getVersion(major, minor);
        // Every element gets an ID, and so does, as a rule, one property value
        // per holder: room for both up front spares the ID table its growth.
        if (VqPtrSwizzle* ids = os.swizzler()) ids->reserve(_vpElements.size() + _vpHolders.size());
        VqRWPtrSwizzle::Hold hold(os.swizzler());
        // From format 9 on an element's header asks for the element's ID
        // before anything else does: asked for here first, it gives the same
        // ID, the header finds it in the swizzler's last-object cache, and
        // the property table has the holders' IDs without looking them up.
        const bool idsFirst = major >= 9;
        std::vector<int> holderIds;
        if (idsFirst) holderIds.reserve(_vpHolders.size());
        size_t nextHolder = 0;
        for (size_t i = 0; i < _vpElements.size(); ++i) {
            const auto& e = _vpElements[i];
            if (i + kFetchAhead < _vpElements.size()) fetchAhead(_vpElements[i + kFetchAhead].get());
            int id = -1;
            if (idsFirst) VQ_PROPAGATE(os.ptr2num(e.get(), &id));
            VQ_PROPAGATE(VqElementIO::writeLogicalElementOf(major, os, e.get()));
            if (const auto* node = Vq::typeCast<VqNode>(e.get())) VQ_PROPAGATE(node->writeData(os));
            // The holders are the elements that are holders, in the same order.
            if (nextHolder < _vpHolders.size() &&
                static_cast<const VqBase*>(_vpHolders[nextHolder]) == e.get()) {
                ++nextHolder;
                if (idsFirst) holderIds.push_back(id);
            }
        }
        if (_bGraph) VQ_PROPAGATE(VqElementIO::writeLogicalElementOf(major, os, nullptr));
        VqPropBase::Listing listing;
        VQ_PROPAGATE(VqPartition::_writePropertyElements(
            os, major, _vpHolders, idsFirst ? &holderIds : nullptr, listing, &_vpWrittenLL));
        return VqPropBase::writeListedPropertyTable(os, listing);
    }

    void invalidatePersistedState() override {
        for (auto& ll : _vpWrittenLL)
            ll->setHasWritten(false);
    }

private:
    bool _bGraph;
    std::vector<Vq::SharedPtr<VqBase>> _vpElements;
    std::vector<const VqPropBase*> _vpHolders;
    std::vector<Vq::SharedPtr<VqLateLoadedPropAtom>> _vpWrittenLL;
};

// Refuses an object that the file's version cannot hold whole: every object
// says the oldest version that holds it (a shape asks its implementation,
// which is in memory once its node is prepared, unless its segment is copied
// into a file of the version it came from). The floor of 7.0 that the rule
// gives every object stands for "nothing newer": a 6.4 file holds the same
// kinds of content.
bool checkVersionHolds(const VqBase& obj, int major, int minor) {
    int needMajor = 0, needMinor = 0;
    obj._getMinimumVQVersion(needMajor, needMinor);
    const bool beyondFloor = needMajor > 7 || (needMajor == 7 && needMinor > 0);
    const bool beyondTarget = needMajor > major || (needMajor == major && needMinor > minor);
    if (!beyondFloor || !beyondTarget) return true;
    const std::string text = std::string("A ") + obj.type()->name + " holds content that needs format " +
                             std::to_string(needMajor) + "." + std::to_string(needMinor) +
                             " or later; the file would be written as " + std::to_string(major) + "." +
                             std::to_string(minor) + " (saving with allowLoss leaves such content out)";
    VQ_FAIL(kCls, "save", text.c_str(), VQ_ERR_TOO_NEW);
}

// Each node of the graph being written prepares itself for it, and every
// object is checked against the file's version unless a save that allows
// loss writes what the version has room for. One step serves both: in a
// large graph each pass over the objects costs a cache miss per object.
bool prepareObject(const VqBase& obj, VqPartition& within, int major, int minor, bool allowLoss) {
    if (const auto* node = Vq::typeCast<VqNode>(&obj)) VQ_PROPAGATE(node->prepareForSerialize(within));
    return allowLoss || checkVersionHolds(obj, major, minor);
}

bool prepareObjects(const std::vector<const VqBase*>& objects, VqPartition& within, bool allowLoss) {
    int major = -1, minor = -1;
    VQ_PROPAGATE(within.writeVersion(major, minor));
    for (const VqBase* obj : objects)
        VQ_PROPAGATE(prepareObject(*obj, within, major, minor, allowLoss));
    return true;
}

// Formats 6 and 7 have no late-loaded segments: the only data they keep
// outside the node records are the shapes' implementations, which the
// legacy block writes at the file positions their nodes name. Any other
// late-loaded value (product manufacturing information, metadata, B-rep,
// thumbnails, ...) has nowhere to go. Writing its object inline in the node
// record is no way out: the value under its key would come back as an
// object reference, not as the late-loaded value every reader of that key
// asks for. So a save to these versions refuses a value that
// holds or names data, like any other content the version cannot hold,
// unless loss is allowed; one whose load failed names nothing and is no loss.
bool checkLegacyHoldsLateLoaded(const std::vector<const VqPropBase*>& holders, const VqPartition& saving,
                                bool allowLoss) {
    if (allowLoss) return true;
    int major = -1, minor = -1;
    VQ_PROPAGATE(saving.writeVersion(major, minor));
    std::vector<VqLateLoadedPropAtom*> values;
    for (const VqPropBase* h : holders) {
        values.clear();
        h->appendLateLoadedValues(values);
        if (values.empty()) continue;
        Vq::SharedPtr<VqPropAtom> impl = vqLLPropShapeImpl ? h->propValue(vqLLPropShapeImpl) : nullptr;
        for (const VqLateLoadedPropAtom* ll : values) {
            if (ll == impl.get() || (!ll->isLoaded() && ll->guid().isNull())) continue;
            const std::string text = std::string("A ") + h->type()->name +
                                     " holds late-loaded data, which format " + std::to_string(major) + "." +
                                     std::to_string(minor) +
                                     " cannot hold (saving with allowLoss leaves it out)";
            VQ_FAIL(kCls, "save", text.c_str(), VQ_ERR_TOO_NEW);
        }
    }
    return true;
}

// The late-loaded atoms among the values of the holders, each once, in the
// order met: whether one is written depends on its data, which has to be
// loaded first. Each is marked as met when its stored segment goes into the
// new file unread; an atom shared by several holders is copied only when
// every one of them agrees: one that saw its data change vetoes it. One pass
// over each holder's values serves both: asked for by index, a holder of n
// properties would take n + 1 passes of its table's lock.
class LateLoadedSurvey {
public:
    explicit LateLoadedSurvey(VqPartition& within) : _within(within) {}

    // Whether h holds late-loaded values.
    bool visit(const VqPropBase& h) {
        _values.clear();
        h.appendLateLoadedValues(_values);
        for (VqLateLoadedPropAtom* ll : _values) {
            if (_seen.insert(ll)) atoms.push_back(ll);
            const bool copy = !ll->guid().isNull() && !_vetoed.contains(ll) && h.mayCopyStoredLLData(*ll) &&
                              _within.canCopySegment(ll->guid(), ll->segType());
            if (!copy) _vetoed.insert(ll);
            ll->setCopyStored(copy);
        }
        return !_values.empty();
    }

    std::vector<VqLateLoadedPropAtom*> atoms;

private:
    VqPartition& _within;
    VqFlatPtrSet _seen, _vetoed;
    std::vector<VqLateLoadedPropAtom*> _values;
};

// Unmarks them when the save ends, however it ends: a mark left behind
// would keep a later load from reading the atom's data.
struct CopyMarksScope {
    const std::vector<VqLateLoadedPropAtom*>& atoms;
    ~CopyMarksScope() {
        for (VqLateLoadedPropAtom* ll : atoms)
            ll->setCopyStored(false);
    }
};

// Clears a partition's saving bit when the save ends, however it ends.
struct SavingScope {
    std::atomic<uint32_t>& word;
    explicit SavingScope(std::atomic<uint32_t>& w) : word(w) {
        word.fetch_or(VqPartition::VQ_PARTITION_SAVING);
    }
    ~SavingScope() { word.fetch_and(~static_cast<uint32_t>(VqPartition::VQ_PARTITION_SAVING)); }
};

// The version and compression a save with these options writes.
bool writeSettingsFor(const VqSaveOptions& options, int& major, int& minor, int& compression) {
    using Compression = VqSaveOptions::Compression;
    const bool processWide = options.versionMajor == 0 && options.versionMinor == 0;
    if (processWide) {
        VQ_PROPAGATE(VqFormatSettings::getVersion(major, minor));
    } else {
        VQ_PROPAGATE(
            VqFormatSettings::checkWriteVersion(options.versionMajor, options.versionMinor, "saveAs"));
        major = options.versionMajor;
        minor = options.versionMinor;
    }
    switch (options.compression) {
    case Compression::Default:
        compression = processWide ? VqFormatSettings::compressionAlgorithm()
                                  : VqFormatSettings::defaultCompressionFor(major);
        return true;
    case Compression::Zlib:
        compression = static_cast<int>(Compression::Zlib);
        return true;
    case Compression::Lzma:
        // Readers of the formats before 10 accept zlib segments only.
        if (major < 10) VQ_FAIL(kCls, "saveAs", "LZMA compression needs format 10 or above", VQ_ERR_ARGUMENT);
        compression = static_cast<int>(Compression::Lzma);
        return true;
    }
    VQ_FAIL(kCls, "saveAs", "Compression must be Default, Zlib or Lzma", VQ_ERR_ARGUMENT);
}

// Records why a late-loaded segment of the file being saved could not be
// read: its GUID, and whether the file lacks it or holds it damaged. The
// load's own error says neither, and the location is the file read, not the
// one being written.
void failLateSegment(const VqStreamMgr* source, const VqGUID& seg, int segType) {
    VqString guidText;
    seg.toString(guidText);
    const auto* toc = Vq::typeCast<VqTOCStreamMgr>(source);
    const bool missing = toc && !toc->toc().find(seg);
    const std::string text = "The late-loaded segment " + guidText.toUtf8() + " (type " +
                             std::to_string(segType) +
                             (missing ? ") is missing from the file" : ") cannot be read");
    VqErrorState::throwStdError(kCls, "save", text.c_str(), VQ_ERR_READ);
    const auto* fs = source ? Vq::typeCast<VqFSStorageLocation>(source->location()) : nullptr;
    if (fs) VqErrorState::rethrowError(fs->fullPath());
}
} // namespace

bool VqPartition::_writePropertyElements(VqObjectStream& os, int major,
                                         const std::vector<const VqPropBase*>& holders,
                                         const std::vector<int>* ids, VqPropBase::Listing& listing,
                                         std::vector<Vq::SharedPtr<VqLateLoadedPropAtom>>* writtenLL) {
    auto writeElement = [&](const VqPropAtom* a) {
        VQ_PROPAGATE(VqElementIO::writeLogicalElementOf(major, os, a));
        auto* ll = Vq::typeCast<VqLateLoadedPropAtom>(const_cast<VqPropAtom*>(a));
        if (ll && writtenLL) writtenLL->emplace_back(ll);
        return true;
    };
    if (ids && ids->size() != holders.size()) ids = nullptr;
    // Most holders have one persistable pair: room for that many up front
    // spares the listing its growth, each step of which copies all it holds
    // when that has long left the cache.
    listing.listed.reserve(listing.listed.size() + holders.size());
    listing.pairs.reserve(listing.pairs.size() + holders.size());
    if (ids) listing.holderIds.reserve(listing.holderIds.size() + holders.size());
    if (major >= 9) listing.pairIds.reserve(listing.pairIds.size() + holders.size());
    // Each holder's pairs are written as soon as they are listed: in a large
    // graph its values are still in the cache then, where a listing of all
    // holders first would meet each value again after it had left.
    auto forEachListed = [&](auto&& writePair) {
        for (size_t h = 0; h < holders.size(); ++h) {
            if (h + kFetchAhead < holders.size()) fetchAhead(holders[h + kFetchAhead]);
            const size_t begin = listing.pairs.size();
            if (!listing.add(holders[h], ids ? &(*ids)[h] : nullptr)) continue;
            for (size_t i = begin; i < listing.pairs.size(); ++i)
                VQ_PROPAGATE(writePair(i));
        }
        return VqElementIO::writeLogicalElementOf(major, os, nullptr);
    };
    // Most graphs share a few keys among all holders: the key just written is
    // recognised without a lookup.
    const VqPropAtom* lastKey = nullptr;
    if (major < 9) {
        // Before format 9 the header carries no ID: an atom's ID is given
        // where its record or the table first asks for it, and asking here
        // would change the numbering.
        VqFlatPtrSet written;
        return forEachListed([&](size_t i) {
            const auto [k, v] = listing.pairs[i];
            if (k != lastKey && written.insert(k)) VQ_PROPAGATE(writeElement(k));
            lastKey = k;
            if (written.insert(v)) VQ_PROPAGATE(writeElement(v));
            return true;
        });
    }
    // An atom's ID, asked for first as the header would, tells whether its
    // element is written already: IDs run densely from 0, so a flag per ID
    // takes the place of a set of addresses, and the ID is noted for the table.
    std::vector<bool> written;
    auto writeOnce = [&](const VqPropAtom* a, int& id) {
        VQ_PROPAGATE(os.ptr2num(a, &id));
        if (id < 0) VQ_FAIL(kCls, "save", "A property atom has no object ID", VQ_ERR_INTERNAL);
        const auto at = static_cast<size_t>(id);
        if (at >= written.size()) written.resize(std::max(at + 1, 2 * written.size()), false);
        if (written[at]) return true;
        written[at] = true;
        return writeElement(a);
    };
    int lastKeyId = -1;
    return forEachListed([&](size_t i) {
        const auto [k, v] = listing.pairs[i];
        listing.pairIds.resize(listing.pairs.size());
        auto& [kid, vid] = listing.pairIds[i];
        if (k != lastKey) VQ_PROPAGATE(writeOnce(k, lastKeyId));
        lastKey = k;
        kid = lastKeyId;
        return writeOnce(v, vid);
    });
}

bool VqPartition::_writeGraph(VqStreamMgr* mgr,
                              std::vector<std::pair<Vq::SharedPtr<VqLateLoadedPropAtom>, VqGUID>>& rolled) {
    Vq::SharedPtr<VqSegment> seg = new VqSegment(VQSEG_LSG, VqStreamMgr::LsgSegGuid);
    if (!seg)
        VQ_FAIL(kCls, "saveSegment",
                "Allocation failed: pNewSeg = new VqSegment(VQSEG_LSG, VqStreamMgr::LsgSegGuid)",
                VQ_ERR_ALLOC);
    Vq::SharedPtr<VqPartitionSection> section = new VqPartitionSection(true);
    if (!section) VQ_FAIL(kCls, "saveSegment", "Allocation failed: new VqPartitionSection", VQ_ERR_ALLOC);
    // Late-loaded data must be in memory before it can be written into the
    // new file, unless its stored segment is copied as it is. Each object
    // joins the section and the survey as the walk meets it, while it is in
    // the cache: in a large graph a pass of its own would miss on each.
    LateLoadedSurvey survey(*this);
    const std::vector<VqLateLoadedPropAtom*>& lateLoaded = survey.atoms;
    CopyMarksScope marks{lateLoaded};
    // Each node gets ready for writing once its late-loaded data is in
    // memory, and then every object is checked against the file's version
    // (unless a save that allows loss writes what the version has room for),
    // all before anything is written. An object whose node holds no
    // late-loaded data is ready as soon as the walk meets it, and is prepared
    // and checked there, in the cache; the others wait for the loads below.
    // The first failure is reported as one pass in walk order after the
    // loads would report it: the loads first, then the earliest object.
    int major = -1, minor = -1;
    VQ_PROPAGATE(writeVersion(major, minor));
    auto prepare = [&](const VqBase* obj) { return prepareObject(*obj, *this, major, minor, _bSaveAllowsLoss); };
    std::vector<std::pair<const VqBase*, size_t>> waiting;
    size_t met = 0, failedAt = SIZE_MAX;
    Vq::SharedPtr<VqStdError> prepareError;
    VqNode::graphObjects(this, [&](const VqBase* obj) {
        const size_t at = met++;
        const VqPropBase* h = section->add(obj);
        const bool holdsLateLoaded = h && survey.visit(*h);
        if (failedAt != SIZE_MAX) return;
        if (holdsLateLoaded) {
            waiting.emplace_back(obj, at);
        } else if (!prepare(obj)) {
            failedAt = at;
            prepareError = VqErrorState::currentError();
        }
    });
    for (VqLateLoadedPropAtom* ll : lateLoaded) {
        if (ll->copiesStored() || ll->isLoaded() || ll->guid().isNull()) continue;
        const VqGUID seg = ll->guid();
        if (!ll->ensureData(*this)) {
            // A failed load forgets the segment; a failed save must leave the
            // partition as it was, able to try again.
            ll->setSegment(seg, ll->segType());
            failLateSegment(_pStreamMgr.get(), seg, ll->segType());
            return false;
        }
    }

    // With their late-loaded data in memory, the other nodes get ready.
    for (const auto& [obj, at] : waiting)
        if (at < failedAt) VQ_PROPAGATE(prepare(obj));
    if (failedAt != SIZE_MAX) {
        if (prepareError) VqErrorState::setError(prepareError.get());
        return false;
    }
    VQ_PROPAGATE(seg->addSection(section.get()));
    VQ_PROPAGATE(mgr->addNewSegment(seg));
    VQ_PROPAGATE(mgr->setPartition(this));
    _pWriteMgr = mgr;
    bool ok = true;
    for (VqLateLoadedPropAtom* ll : lateLoaded) {
        rolled.emplace_back(ll, ll->guid());
        ok = ll->writeData(*this);
        if (!ok) break;
        ll->setHasWritten(true);
    }
    _pWriteMgr = nullptr;
    if (!ok) VqErrorState::rethrowError();
    return ok;
}

// The legacy block of formats 6 and 7, the layout this library chose where the
// format leaves it open (the reader is _loadRootSegmentV6). It starts right
// after the 89-byte header with the shapes' implementations, and the table
// of contents names, in its legacy form (one entry, "LogicalSceneGraph" and
// an offset), where the graph starts after them:
//
//   1. the partition's element. Its record is the node level (own object ID,
//      flags, attribute IDs), the group level (child count and IDs) and the
//      partition level with flags 11 (contents, graph follows, shapes at
//      positions) and an empty location; then, nested in that record, every
//      other object of the graph as an element, in the writer's walk order,
//      an end marker, the property keys and values as elements, and an end
//      marker;
//   2. an end marker, where the one further element of the graph stands (the
//      graph is already in the partition's record);
//   3. the property table.
//
// In format 7 each outermost element (1 and 2) is compressed by itself as a
// block (flag, length + 1, algorithm byte, zlib data); the property table is
// stored as it is. Format 6 stores everything as it is. No late-loaded data is
// written (late-loaded atoms are persistable from format 8 on only; a save
// that would drop some is refused unless loss is allowed), but the
// shapes' implementations come first, each an outermost element (compressed
// by itself in format 7) at the position the shape's record names.
bool VqPartition::_writeLegacyBlock(VqStreamMgr* mgr) {
    std::vector<Vq::SharedPtr<VqBase>> elements;
    std::vector<const VqPropBase*> holders;
    std::vector<const VqBase*> objects;
    VqNode::graphObjects(this, objects);
    VQ_PROPAGATE(prepareObjects(objects, *this, _bSaveAllowsLoss));
    for (const VqBase* obj : objects) {
        elements.emplace_back(const_cast<VqBase*>(obj));
        if (const auto* h = Vq::typeCast<VqPropBase>(obj)) holders.push_back(h);
    }
    VQ_PROPAGATE(checkLegacyHoldsLateLoaded(holders, *this, _bSaveAllowsLoss));
    VQ_PROPAGATE(mgr->setPartition(this));
    Vq::SharedPtr<VqObjectStream> os;
    VQ_PROPAGATE(mgr->beginWriteSegment(VqStreamMgr::RawSegGuid, os, VQSEG_LSG));
    // Shapes write their implementations first, each an outermost element at
    // the file position its node's record will name.
    bool ok = true;
    for (const VqBase* obj : objects)
        if (const auto* node = Vq::typeCast<VqNode>(obj); node && ok) ok = node->writeData(*os);
    if (ok) {
        uint64_t graphAt = 0;
        os->getPosition(graphAt);
        ok = mgr->setLegacyGraphOffset(graphAt);
    }
    if (ok) {
        // The record's writer sees the list only while this element is written.
        struct Lend {
            const std::vector<Vq::SharedPtr<VqBase>>*& slot;
            ~Lend() { slot = nullptr; }
        } lend{_pLegacyElements};
        _pLegacyElements = &elements;
        ok = writeLogicalElement(*os, this);
    }
    ok = ok && writeLogicalElement(*os, nullptr) && VqPropBase::writePropertyTable(*os, holders);
    Vq::SharedPtr<VqStdError> error = ok ? nullptr : VqErrorState::currentError();
    if (!mgr->endWriteSegment(os.get())) return false;
    if (error) VqErrorState::setError(error.get());
    _setAttrBit(VQ_PARTITION_IMPLPOS, ok);
    return ok;
}

bool VqPartition::saveSegment(int major, const VqGUID& segGuid, int segType, const VqBase* obj) {
    (void)major;
    if (!_pWriteMgr) VQ_FAIL(kCls, "saveSegment", "_pWriteMgr", VQ_ERR_INTERNAL);
    return addObjectSegment(_pWriteMgr, segGuid, segType, obj);
}

// A segment is copied unread only when its bytes mean the same in the new
// file: both files of the same format version (the records inside are that
// version's) and byte order (the bytes are the old file's), the old file
// not scrambled, and the segment one of shape data, which no version from 8
// on wraps in the file's compression (so the new file's compression setting
// does not matter). The TOC must list it with the type the atom names: a
// shape that moved to another level is written afresh. Whether the data is
// unchanged since it was read is the holder's to say (mayCopyStoredLLData).
bool VqPartition::canCopySegment(const VqGUID& segGuid, int segType) const {
    if (segType < VQSEG_SHAPE || segType > VQSEG_SHAPELOD9) return false;
    const auto* toc = Vq::typeCast<VqTOCStreamMgr>(_pStreamMgr.get());
    if (!toc || !toc->isOpen() || toc->isScrambled()) return false;
    int fileMajor = -1, fileMinor = -1, major = -1, minor = -1;
    if (!fileVersion(fileMajor, fileMinor) || !writeVersion(major, minor)) return false;
    if (fileMajor < 8 || fileMajor != major || fileMinor != minor) return false;
    if (toc->byteOrder() != VqBaseDataStream::s_systemByteOrder()) return false;
    VqTOCElem entry;
    return toc->findSegment(segGuid, entry) && entry.segType() == segType;
}

bool VqPartition::copySegment(const VqGUID& segGuid, int segType) {
    if (!_pWriteMgr) VQ_FAIL(kCls, "copySegment", "_pWriteMgr", VQ_ERR_INTERNAL);
    if (!_pStreamMgr) VQ_FAIL(kCls, "copySegment", "_pStreamMgr", VQ_ERR_INTERNAL);
    return _pWriteMgr->addCopiedSegment(_pStreamMgr.get(), segGuid, segType);
}

bool VqPartition::loadAllShapes() {
    std::vector<const VqBase*> objects;
    VqNode::graphObjects(this, objects);
    for (const VqBase* obj : objects)
        if (const auto* node = Vq::typeCast<VqNode>(obj)) VQ_PROPAGATE(node->loadShapeData(*this));
    return true;
}

bool VqPartition::addObjectSegment(VqStreamMgr* mgr, const VqGUID& segGuid, int segType, const VqBase* obj) {
    if (!mgr) VQ_FAIL(kCls, "saveSegment", "pStreamMgr", VQ_ERR_ARGUMENT);
    if (!obj) VQ_FAIL(kCls, "saveSegment", "pObj", VQ_ERR_ARGUMENT);
    Vq::SharedPtr<VqSegment> seg = new VqSegment(segType, segGuid);
    if (!seg)
        VQ_FAIL(kCls, "saveSegment", "Allocation failed: pNewSeg = new VqSegment(segType, segGuid)",
                VQ_ERR_ALLOC);
    Vq::SharedPtr<VqPartitionSection> section = new VqPartitionSection(segType == VQSEG_LSG);
    if (!section) VQ_FAIL(kCls, "saveSegment", "Allocation failed: new VqPartitionSection", VQ_ERR_ALLOC);
    section->add(obj);
    VQ_PROPAGATE(seg->addSection(section.get()));
    return mgr->addNewSegment(seg);
}

bool VqPartition::_reopen() {
    Vq::SharedPtr<VqStorageLocation> resolved;
    Vq::SharedPtr<VqStreamMgr> mgr;
    VQ_PROPAGATE(_createStreamMgr(nullptr, _pLocation.get(), true, resolved, mgr));
    VQ_PROPAGATE(mgr->_initStreamMgr(true));
    VQ_PROPAGATE(mgr->open());
    VQ_PROPAGATE(mgr->setPartition(this));
    int major = -1, minor = -1;
    VQ_PROPAGATE(mgr->getVersion(major, minor));
    _pStreamMgr = mgr;
    _strVersionText = mgr->versionText();
    setDatastoreVersion(major, minor);
    return true;
}

bool VqPartition::_save(const VqStorageLocation* target) {
    if (!target) VQ_FAIL(kCls, "save", "_dbLocation", VQ_ERR_ARGUMENT);
    if (isSaving()) VQ_FAIL(kCls, "save", "!isSaving()", VQ_ERR_INTERNAL);
    int major = -1, minor = -1;
    VQ_PROPAGATE(getVersion(major, minor));
    if (!((major >= 6 && major <= 10) || major == 99))
        VQ_FAIL(kCls, "save", "(iMajor >= 6 && iMajor <= 10) || (iMajor == 99)", VQ_ERR_TOO_NEW);
    SavingScope saving(_uAttrWord);

    // The new file is written beside the target and put in its place only
    // once it is complete and on disk (see VqFileReplacer): a failed or
    // killed save leaves the old file as it was.
    Vq::SharedPtr<VqStorageLocation> writeLoc;
    VQ_PROPAGATE(target->clone(writeLoc));
    VqFileReplacer replacer;
    auto* fs = Vq::typeCast<VqFSStorageLocation>(writeLoc.get());
    if (fs) {
        std::string path;
        VQ_PROPAGATE(Vq::convertToMBCS(path, fs->fullPath()));
        VQ_PROPAGATE(replacer.begin(path));
        fs->setBasePath(VqString());
        fs->setName(VqString(replacer.tempPath().c_str()));
    }

    // The new file's segments are buffered until the manager flushes them;
    // they take about as much memory as the file they replace.
    std::error_code sizeError;
    const auto oldSize = fs ? std::filesystem::file_size(replacer.targetPath(), sizeError) : 0;
    VqMemoryReservation reservation(sizeError ? 0 : oldSize);

    Vq::SharedPtr<VqStorageLocation> previous = _pLocation;
    VQ_PROPAGATE(target->clone(_pLocation));
    // The first failure is the one reported: the clean-up after it (a
    // manager giving up its file, the temporary file going) records nothing.
    Vq::SharedPtr<VqStreamMgr> mgr;
    std::vector<std::pair<Vq::SharedPtr<VqLateLoadedPropAtom>, VqGUID>> rolled;
    auto fail = [&]() {
        Vq::SharedPtr<VqStdError> error = VqErrorState::currentError();
        if (mgr) mgr->abort();
        replacer.discard();
        _pLocation = previous;
        // The old file is intact and still read from: its atoms go back to
        // the segments it holds, or their data could not be loaded again.
        for (auto& [ll, guid] : rolled)
            ll->restoreGUID(guid, *this);
        if (error) VqErrorState::setError(error.get());
        return false;
    };

    Vq::SharedPtr<VqStorageLocation> resolved;
    if (!_createStreamMgr(nullptr, writeLoc.get(), false, resolved, mgr) || !mgr->setPartition(this) ||
        !mgr->_initStreamMgr(false))
        return fail();
    if (fs) {
        auto* toc = Vq::typeCast<VqTOCStreamMgr>(mgr.get());
        if (!toc) {
            VqErrorState::throwStdError(kCls, "save", "A file needs a file stream manager", VQ_ERR_INTERNAL);
            return fail();
        }
        // Others may write in the target's directory: the file written is
        // the one created above, whoever renames what meanwhile.
        toc->pinFile(replacer.device(), replacer.inode());
    }
    if (!mgr->open()) {
        Vq::SharedPtr<VqStdError> cause = VqErrorState::currentError();
        const std::string text = "Could not open file with specified file/path" +
                                 (cause ? ": " + cause->description().toUtf8() : std::string());
        VqErrorState::throwStdError(kCls, "save", text.c_str(), VQ_ERR_CORRUPT);
        return fail();
    }
    const bool written = major >= 8 ? _writeGraph(mgr.get(), rolled) : _writeLegacyBlock(mgr.get());
    if (!written || !mgr->close()) return fail();
    mgr.reset();

    // The partition reads from the old file until the new one has taken its
    // place, so that a failed replacement leaves it as it was.
    if (fs && !replacer.commit()) return fail();
    if (_pStreamMgr) {
        if (_pStreamMgr->isOpen()) _pStreamMgr->close();
        _pStreamMgr.reset();
    }
    _setAttrBit(VQ_PARTITION_NEW, false);
    _setAttrBit(VQ_PARTITION_OPEN, true);
    _setAttrBit(VQ_PARTITION_NOOPEN, false);
    VQ_PROPAGATE(_reopen());
    VqByteStream::s_reapClosedStreams();
    return true;
}

bool VqPartition::_saveReporting(const VqStorageLocation* target, const char* method) {
    bool ok = false;
    try {
        ok = _save(target);
    } catch (...) {
        ok = VqErrorState::recordCurrentException(kCls, method);
    }
    if (!ok) {
        // An error that names a file already (the file a late-loaded segment
        // was to be read from) keeps it; any other concerns the target.
        Vq::SharedPtr<VqStdError> error = VqErrorState::currentError();
        const VqString where = error ? error->location() : VqString();
        if (where.numChars() == 0 || where == VqString("<none>"))
            _rethrowForFile(target);
        else
            VqErrorState::rethrowError();
    }
    return ok;
}

bool VqPartition::save() {
    // Held here: a save replaces the partition's location with a copy.
    Vq::SharedPtr<VqStorageLocation> target = _pLocation;
    return _saveReporting(target.get(), "save");
}

bool VqPartition::saveAs(const VqStorageLocation* loc) {
    return _saveReporting(loc, "saveAs");
}

bool VqPartition::saveAs(const VqString& dir, const VqString& name) {
    Vq::SharedPtr<VqStorageLocation> loc = new VqFSStorageLocation(dir, name);
    if (!loc) VQ_FAIL(kCls, "saveAs", "Allocation failed: new VqFSStorageLocation(dir, name)", VQ_ERR_ALLOC);
    return saveAs(loc.get());
}

bool VqPartition::saveAs(const VqStorageLocation* loc, const VqSaveOptions& options) {
    int major = 0, minor = 0, compression = 0;
    if (!writeSettingsFor(options, major, minor, compression)) {
        _rethrowForFile(loc);
        return false;
    }
    // Everything that asks for the write version on this thread during the
    // save sees the options, and the save's stream manager hands them on to
    // the threads that write its segments.
    VqFormatSettings::WriteScope scope(major, minor, compression);
    struct LossScope {
        bool& flag;
        ~LossScope() { flag = false; }
    } loss{_bSaveAllowsLoss};
    _bSaveAllowsLoss = options.allowLoss;
    return _saveReporting(loc, "saveAs");
}

bool VqPartition::saveAs(const VqString& path, const VqSaveOptions& options) {
    Vq::SharedPtr<VqFSStorageLocation> loc;
    if (!VqFSStorageLocation::fromPath(path, loc)) {
        VqErrorState::rethrowError(path);
        return false;
    }
    return saveAs(loc.get(), options);
}

bool VqPartition::saveAllPartitions(VqNode* root) {
    if (!root) VQ_FAIL(kCls, "saveAllPartitions", "root", VQ_ERR_ARGUMENT);
    bool ok = true;
    Vq::SharedPtr<VqStdError> firstError;
    walkOnce(root, [&](VqNode* n) {
        if (auto* p = Vq::typeCast<VqPartition>(n); p && (p->isOpen() || p->isNew()) && p->location()) {
            if (!p->save()) {
                if (ok) firstError = VqErrorState::currentError();
                ok = false;
            }
        }
        return Walk::Descend;
    });
    if (!ok && firstError) VqErrorState::setError(firstError.get());
    return ok;
}
