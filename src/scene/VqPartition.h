#pragma once

#include "VqDataPropAtom.h"
#include "VqElementIO.h"
#include "VqExport.h"
#include "VqGUID.h"
#include "VqGroup.h"
#include "VqLateLoadedPropAtom.h"
#include "VqRequestInfo.h"
#include "VqSaveOptions.h"
#include "VqSharedPtr.h"
#include "VqString.h"

#include <atomic>
#include <utility>
#include <vector>

class VqBase;
class VqObjectStream;
class VqPropBase;
class VqStorageLocation;
class VqStreamMgr;

// The group node that stands for one VQ file. Opening a file yields a
// partition whose children are the file's scene graph; saving a partition
// writes its graph, its properties and its late-loaded data into one file. A
// partition node inside another graph stands for another file: it starts
// empty and is opened on demand, the file's graph being merged into it.
//
// The documented statics for the process-wide format settings and for the
// element operations stay here and forward to VqFormatSettings and
// VqElementIO, which the layers below use directly.
class VQ_API VqPartition : public Vq::Record<VqPartition, VqGroup>, public VqLLSegmentIO {
    VQ_DECLARE_TYPE(VqPartition)
public:
    // Bits of the partition's attribute word.
    enum : uint32_t {
        VQ_PARTITION_IMPLPOS = 0x8,      // formats 6 and 7: shape implementations lie at file positions
        VQ_PARTITION_NEW = 0x10000,      // created in memory, not read from its file
        VQ_PARTITION_SAVING = 0x40000,   // a save is running
        VQ_PARTITION_OPEN = 0x80000,     // the file has been read into it
        VQ_PARTITION_SKIPPED = 0x100000, // the last outermost element read left data unread
        VQ_PARTITION_NOOPEN = 0x200000   // not to be opened automatically (set after a failed open)
    };
    enum CallbackTime : int {
        VQ_CB_BEFORE_MERGE = 0,
        VQ_CB_OPENED = 1,
        VQ_CB_CLOSE_BEGIN = 2,
        VQ_CB_CLOSE_END = 3,
        VQ_CB_OPEN_FAILED = 4
    };
    typedef bool (*Callback)(VqPartition* partition, CallbackTime time, void* userData);

    VqPartition();
    // A partition node standing for the file at loc (opened on demand).
    explicit VqPartition(const VqStorageLocation* loc);
    // A copy stands for the same file, without contents or open file.
    VqPartition(const VqPartition& o);
    ~VqPartition() override;

    bool _isPartitionRoot() const override { return true; }
    // The node's own late-loaded data is in the file that holds its record:
    // that of the partition above it, or its own for the root of a graph.
    bool prepareForSerialize() const override;
    // A partition node's record may sit in another file than the partition
    // being saved: it finds its holder itself.
    bool prepareForSerialize(VqPartition&) const override { return prepareForSerialize(); }

    // ---- opening and closing ----
    // Opens the file at loc (resolved against parent's location when relative).
    static bool openPartition(const VqStorageLocation* loc, const VqPartition* parent,
                              Vq::SharedPtr<VqPartition>& out);
    // Opens the file at path (see VqFSStorageLocation::fromPath). Like every
    // open, a failure names the file in the error's location.
    static bool openFile(const VqString& path, Vq::SharedPtr<VqPartition>& out);
    // Loads this partition node's file and merges it in, blocking until it is
    // done: an urgent request to the residency request manager, served on a
    // loader thread or on this one, and hooked up on this thread. Returns at
    // once when the partition is open already. Several threads opening one
    // node wait for one load and merge.
    bool open();
    // Asks for the file to be read without waiting: a loader thread (or the
    // time slice of execute when none runs) reads it, and the manager's
    // execute for this node, for a partition above it or for its model
    // context merges it in.
    bool requestOpen(float priority = VqRequestInfo::s_cUrgentPriority);
    // Makes sure the file has been read; a partition marked no-open is only
    // opened with force.
    bool ensurePartition(bool force = false);
    // Opens every partition node below root, descending into each one opened.
    static bool openAllPartitions(VqNode* root, bool force = false);
    bool close();
    // The two halves of opening a partition node. The first runs on the
    // requesting thread: it checks that the node's file does not hold the
    // node and copies the node's location and that of the partition above it,
    // which a relative location resolves against, so that the load
    // (openPartition, on a loader thread) needs nothing from the graph. The
    // merge into the node runs on the thread that hooks the load up.
    bool _openSource(Vq::SharedPtr<VqStorageLocation>& loc,
                     Vq::SharedPtr<VqStorageLocation>& parentLoc) const;
    bool mergeBottomHalf(VqPartition* loaded, bool error);

    // ---- late loading ----
    // Reads one segment by GUID and returns its object (the first element of
    // a graph segment).
    static bool loadSegmentV10(VqStreamMgr* mgr, Vq::SharedPtr<VqBase>& out, const VqGUID& seg);
    // The V9 form hands over one reference to the object, which the caller releases.
    static bool loadSegmentV9(VqStreamMgr* mgr, VqBase*& out, const VqGUID& seg);
    static bool loadSegmentV8(VqStreamMgr* mgr, Vq::SharedPtr<VqBase>& out, const VqGUID& seg);
    // Files before format 8: a stream positioned at the SID's absolute offset.
    bool getReadStream(const VqSID& sid, Vq::SharedPtr<VqObjectStream>& out);
    bool getReadStream(const VqDataPropAtom* atom, Vq::SharedPtr<VqObjectStream>& out);
    bool putReadStream(VqObjectStream* stream);

    // The segment services of the late-loaded atoms of this partition.
    bool fileVersion(int& major, int& minor) const override;
    bool writeVersion(int& major, int& minor) const override;
    uint32_t segmentAlias(const VqGUID& segGuid) const override;
    bool loadSegmentRoot(int major, const VqGUID& segGuid, int segType, Vq::SharedPtr<VqBase>& out) override;
    bool saveSegment(int major, const VqGUID& segGuid, int segType, const VqBase* obj) override;
    // During a save: shape segments of the file read, when they can go into
    // the file written unread (see the definition), and copying one.
    bool canCopySegment(const VqGUID& segGuid, int segType) const override;
    bool copySegment(const VqGUID& segGuid, int segType) override;
    // Loads the late-loaded shape data of every node of the partition's graph.
    bool loadAllShapes();
    // The same for any write-mode manager: a pending segment that holds obj.
    static bool addObjectSegment(VqStreamMgr* mgr, const VqGUID& segGuid, int segType, const VqBase* obj);
    // The root object of a segment of mgr's file, in the layout of format major.
    static bool loadSegmentOf(VqStreamMgr* mgr, int major, const VqGUID& segGuid, Vq::SharedPtr<VqBase>& out);

    // ---- saving ----
    // A save into a file writes a new file beside it and renames it into
    // place once it is complete and on disk: the name always holds the old
    // file or the whole new one, and a failed save removes what it wrote.
    // The new file keeps the old one's permission bits (and owner, where the
    // process may set it). Saving through a symbolic link replaces the file
    // it names and keeps the link; other hard links to the old file keep the
    // old contents. A failure names the file it concerns in the error's
    // location (the target, or the file a late-loaded segment was to be read
    // from) and carries the system's reason where there is one.
    bool save();
    bool saveAs(const VqStorageLocation* loc);
    bool saveAs(const VqString& dir, const VqString& name);
    // Saves with options that hold for this call only (see VqSaveOptions).
    // Like every save, a failure names the file in the error's location.
    bool saveAs(const VqStorageLocation* loc, const VqSaveOptions& options);
    bool saveAs(const VqString& path, const VqSaveOptions& options = {});
    // Saves every partition node below root (root included), each once.
    static bool saveAllPartitions(VqNode* root);

    // ---- state ----
    uint32_t attrWord() const { return _uAttrWord.load(std::memory_order_acquire); }
    bool isNew() const { return (attrWord() & VQ_PARTITION_NEW) != 0; }
    bool isOpen() const { return (attrWord() & VQ_PARTITION_OPEN) != 0; }
    bool isSaving() const { return (attrWord() & VQ_PARTITION_SAVING) != 0; }
    bool isNoOpen() const { return (attrWord() & VQ_PARTITION_NOOPEN) != 0; }
    void setNoOpen(bool on) { _setAttrBit(VQ_PARTITION_NOOPEN, on); }
    const VqStorageLocation* location() const { return _pLocation.get(); }
    bool setLocation(const VqStorageLocation* loc);
    VqStreamMgr* streamMgr() const { return _pStreamMgr.get(); }
    const VqString& versionText() const { return _strVersionText; }
    // The file name, or "" without a location.
    VqString datastoreName() const;

    // ---- process-wide settings ----
    // Accepted write versions: 6.4, 7.0, 8.0-8.2, 9.0-9.7, 10.0, 10.1 and 99.0.
    static bool setVersion(int major, int minor);
    // The write version, parsed from the version text on first use.
    static bool getVersion(int& major, int& minor);
    static bool getVersion(int& major, int& minor, VqString& text);
    static bool setMaxReadVersion(int major, int minor);
    static void getMaxReadVersion(int& major, int& minor);
    static void getSupportedVQVersion(int& major, int& minor);
    // Algorithm number written by the format-10 segment stream: 2 (zlib) or 3 (LZMA).
    static bool setCompressionAlgortihm(int algorithm);
    static int compressionAlgorithm();
    static int propertyTableVersion();
    static int numPartitions() { return s_nPartitions.load(); }

    // Adding an identical triple again has no effect.
    static bool addCallback(Callback fn, CallbackTime time, void* userData);
    static bool removeCallback(Callback fn, CallbackTime time, void* userData);

    static bool init();
    static void fini();

    // The element operations (see VqElementIO).
    static bool writeLogicalElementV10(VqObjectStream& os, const VqBase* obj);
    static bool writeLogicalElementV9(VqObjectStream& os, const VqBase* obj);
    static bool writeLogicalElement(VqObjectStream& os, const VqBase* obj);
    static bool readLogicalElementV10(VqObjectStream& os, Vq::SharedPtr<VqBase>& out);
    static bool readLogicalElementV9(VqObjectStream& os, VqBase*& out);
    static bool readLogicalElement(VqObjectStream& os, VqBase*& out);
    static bool writeElementV10(VqObjectStream& os, const VqBase* obj);
    static bool writeElementV9(VqObjectStream& os, const VqBase* obj);
    static bool writeElement(VqObjectStream& os, const VqBase* obj);
    static bool readElementV10(VqObjectStream& os, Vq::SharedPtr<VqBase>& out);
    static bool readElementV9(VqObjectStream& os, VqBase*& out);
    static bool readElement(VqObjectStream& os, VqBase*& out);

    // The property keys and values of the holders (persistable pairs, each
    // atom once) as elements of the format's major version, then an end
    // marker; the late-loaded atoms written are added to writtenLL. The pairs
    // are listed in listing as they are written (with the holders' IDs when
    // ids has one per holder), and from format 9 on the pairs' IDs with them.
    static bool _writePropertyElements(VqObjectStream& os, int major,
                                       const std::vector<const VqPropBase*>& holders,
                                       const std::vector<int>* ids, VqPropBase::Listing& listing,
                                       std::vector<Vq::SharedPtr<VqLateLoadedPropAtom>>* writtenLL);

    // The format version of the file this partition was read from (-1 while
    // none); object streams of the partition fall back to it.
    void datastoreVersion(int& major, int& minor) const {
        major = _nDatastoreMajor;
        minor = _nDatastoreMinor;
    }
    void setDatastoreVersion(int major, int minor) {
        _nDatastoreMajor = major;
        _nDatastoreMinor = minor;
    }
    // Set when the last outermost element read left data that its object did not read.
    bool isDataSkipped() const { return (attrWord() & VQ_PARTITION_SKIPPED) != 0; }
    void setDataSkipped(bool skipped) { _setAttrBit(VQ_PARTITION_SKIPPED, skipped); }

    // The partition's own level, after the node's and the group's (see the
    // .cpp for the layout).
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

protected:
    bool _cloneInto(VqNode* copy, bool deep, CloneMap& map) const override;
    // Only the partition whose file is being written lists its children.
    bool _writesChildren(const VqObjectStream& os) const override;

private:
    void _setAttrBit(uint32_t bit, bool on) {
        if (on)
            _uAttrWord.fetch_or(bit);
        else
            _uAttrWord.fetch_and(~bit);
    }
    void _callCallbacks(CallbackTime time);
    // Whether the node has a location, read safely while another thread
    // merges the node's file.
    bool _hasLocation() const;
    // The partition above this node (its file's partition), or null.
    VqPartition* _enclosingPartition() const;
    // Fails when this node's file is one that holds this node: the file of a
    // partition above it, on any path.
    bool _checkFileNotAbove() const;

    static bool _openPartition(const VqStorageLocation* loc, const VqPartition* parent,
                               Vq::SharedPtr<VqPartition>& out, Vq::SharedPtr<VqStorageLocation>& resolved);
    // Passes the current error on with the file of loc as its location.
    static void _rethrowForFile(const VqStorageLocation* loc);
    static bool _createStreamMgr(const VqPartition* parent, const VqStorageLocation* loc, bool readOnly,
                                 Vq::SharedPtr<VqStorageLocation>& resolved, Vq::SharedPtr<VqStreamMgr>& mgr);
    static bool _loadRootSegment(VqStreamMgr* mgr, int major, Vq::SharedPtr<VqPartition>& root,
                                 std::vector<Vq::SharedPtr<VqBase>>& objects);
    static bool _loadRootSegmentV6(VqStreamMgr* mgr, Vq::SharedPtr<VqPartition>& root,
                                   std::vector<Vq::SharedPtr<VqBase>>& objects);
    bool _fixGraph(std::vector<Vq::SharedPtr<VqBase>>& objects);
    bool _save(const VqStorageLocation* target);
    // _save with escaped exceptions recorded under method and the target
    // named in any error.
    bool _saveReporting(const VqStorageLocation* target, const char* method);
    // The late-loaded atoms it gives new segments are listed in rolled with
    // the segments they named before, for a failed save to restore.
    bool _writeGraph(VqStreamMgr* mgr,
                     std::vector<std::pair<Vq::SharedPtr<VqLateLoadedPropAtom>, VqGUID>>& rolled);
    bool _writeLegacyBlock(VqStreamMgr* mgr);
    bool _readLegacyGraph(VqObjectStream& os);
    void _takeLegacyObjects(std::vector<Vq::SharedPtr<VqBase>>& objects);
    bool _reopen();

    int _nDatastoreMajor = -1;
    int _nDatastoreMinor = -1;
    std::atomic<uint32_t> _uAttrWord{0};
    Vq::SharedPtr<VqStorageLocation> _pLocation;
    Vq::SharedPtr<VqStreamMgr> _pStreamMgr;
    // The stream manager of a save in progress (pending segments go to it).
    VqStreamMgr* _pWriteMgr = nullptr;
    // Whether the save in progress may leave out what its version cannot
    // hold (VqSaveOptions::allowLoss).
    bool _bSaveAllowsLoss = false;
    VqString _strVersionText;
    // Formats 6 and 7 carry the graph inside the partition's own record: the
    // objects to write during a save, and the objects read until the open
    // takes them over.
    const std::vector<Vq::SharedPtr<VqBase>>* _pLegacyElements = nullptr;
    std::vector<Vq::SharedPtr<VqBase>> _vpLegacyObjects;

    static std::atomic<int> s_nPartitions;
    struct CallbackEntry {
        Callback fn;
        CallbackTime time;
        void* userData;
    };
    static std::vector<CallbackEntry>* s_pCallbacks;
};
