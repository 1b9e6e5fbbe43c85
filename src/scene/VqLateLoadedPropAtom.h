#pragma once

#include "VqCowGoatPtr.h"
#include "VqExport.h"
#include "VqGUID.h"
#include "VqPropAtom.h"

class VqStreamMgr;
class VqStringPropAtom;

// The segment services a late-loaded atom needs from the stream manager of
// the partition it belongs to: the versions involved, the alias number under
// which a segment's object is shared, and loading or saving the one object
// of a segment. The stream manager implements it; these calls are the only
// way late-loaded data reaches a file.
class VQ_API VqLLSegmentIO {
public:
    virtual ~VqLLSegmentIO() = default;
    // Format version of the file being read.
    virtual bool fileVersion(int& major, int& minor) const = 0;
    // Format version the partition writes.
    virtual bool writeVersion(int& major, int& minor) const = 0;
    // Alias number (a non-zero hash) of a segment of this manager.
    virtual uint32_t segmentAlias(const VqGUID& segGuid) const = 0;
    // Reads the root element of a segment in the layout of format major.
    virtual bool loadSegmentRoot(int major, const VqGUID& segGuid, int segType,
                                 Vq::SharedPtr<VqBase>& out) = 0;
    // Creates a pending segment and saves obj into it in the layout of format major.
    virtual bool saveSegment(int major, const VqGUID& segGuid, int segType, const VqBase* obj) = 0;
    // Whether a segment of the file being read may go into the file being
    // written as it is stored, and doing so (pending like saveSegment's).
    // Neither is offered unless the implementer says so.
    virtual bool canCopySegment(const VqGUID& segGuid, int segType) const;
    virtual bool copySegment(const VqGUID& segGuid, int segType);
};

// A property value that stands for an object kept in a segment of its own
// (geometry, B-rep, PMI, metadata, thumbnails): the object is loaded when
// asked for, shared with other atoms of the same segment through the global
// object alias table, and saved to a fresh segment at every save.
class VQ_API VqLateLoadedPropAtom : public Vq::Record<VqLateLoadedPropAtom, VqPropAtom>,
                                    public Vq::CowGoatPtr {
    VQ_DECLARE_TYPE(VqLateLoadedPropAtom)
public:
    VqLateLoadedPropAtom();
    VqLateLoadedPropAtom(const VqGUID& guid, int segType);
    VqLateLoadedPropAtom(const VqLateLoadedPropAtom& o);
    VqLateLoadedPropAtom& operator=(const VqLateLoadedPropAtom& o);

    virtual bool writeData(VqLLSegmentIO& io) const;
    virtual bool ensureData(VqLLSegmentIO& io) const;
    // The same through the stream manager of the atom's partition.
    bool writeData(VqStreamMgr& mgr) const;
    bool ensureData(VqStreamMgr& mgr) const;
    virtual bool _ensureDataV8x(VqLLSegmentIO& io, Vq::SharedPtr<VqBase>& out) const;
    virtual bool _ensureDataV9x(VqLLSegmentIO& io, Vq::SharedPtr<VqBase>& out) const;
    virtual bool _ensureDataV10x(VqLLSegmentIO& io, Vq::SharedPtr<VqBase>& out) const;

    // Gives up the loaded object (others sharing it keep it).
    void unloadData();
    // A new segment GUID, with the object rebound under the new segment's alias.
    bool rollNewGUID(VqLLSegmentIO& io);
    bool rollNewGUID(VqStreamMgr& mgr);
    // Back to the segment the atom named before a save that failed (the old
    // file still holds it), marked unsaved so that the next save writes it.
    bool restoreGUID(const VqGUID& guid, VqLLSegmentIO& io);
    // Forgets the segment and the object.
    void clearGUID();
    const VqGUID& guid() const { return _guid; }
    int segType() const { return _eSegType; }
    void setSegment(const VqGUID& guid, int segType) {
        _guid = guid;
        _eSegType = segType;
    }
    // The loaded object, or null.
    Vq::SharedPtr<VqBase> object() const;
    // Holds obj as this atom's data (as a load would).
    bool setObject(VqBase* obj);
    // Takes obj, loaded elsewhere from this atom's segment, as this atom's
    // data: shared under the segment's alias, or the object already shared
    // there when another load published first.
    bool shareLoaded(VqBase* obj, uint32_t alias);
    bool isLoaded() const { return (_uState & VQ_PROPATOM_LOADED) != 0; }
    // Set by a save for the atoms whose stored segment is copied into the
    // new file unread; writeData then copies it under the same GUID and
    // clears the mark.
    void setCopyStored(bool on) const { _bCopyStored = on; }
    bool copiesStored() const { return _bCopyStored; }

    // From format 8 on, and only while it holds a persistable object or
    // names a segment just written (copied) into the file being saved.
    bool isPersistable() const override;
    uint32_t hash() const override { return _guid.hash(); }
    bool isEqualHook(const VqPropAtom& o) const override;
    void write(std::ostream& os) const override;

    // The segment's GUID and type; format 9 adds two reserved words (0 and
    // 1), format 10 one (0) and writes the level as local version 2 (an atom
    // level of local version 1 allows 1 here too). A format-10 element needs
    // the GUID of a saved segment.
    int _localVersion(const Vq::RecordFormat& fmt) const { return fmt.generation() == 10 ? 2 : 1; }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

    // The well-known keys live from init() to fini().
    static bool init();
    static void fini();

private:
    // Names the segment guid, the loaded object shared under its alias.
    bool _rebind(const VqGUID& guid, VqLLSegmentIO& io);

    bool _loadByVersion(VqLLSegmentIO& io, Vq::SharedPtr<VqBase>& out) const;
    bool _failLoad() const;

    mutable VqGUID _guid;
    int _eSegType = 0;
    mutable bool _bCopyStored = false;
};

// Well-known late-loaded property keys; their texts are part of the file format.
extern VQ_API VqStringPropAtom* vqLLPropShapeImpl;
extern VQ_API VqStringPropAtom* vqLLPropTopoMesh;
extern VQ_API VqStringPropAtom* vqLLPropVertexRecordPool;
extern VQ_API VqStringPropAtom* vqLLPropBBHier;
extern VQ_API VqStringPropAtom* vqLLPropBrep;
extern VQ_API VqStringPropAtom* vqLLPropKXBrep;
extern VQ_API VqStringPropAtom* vqLLPropMultiKXBrep;
extern VQ_API VqStringPropAtom* vqLLPropWFRep;
extern VQ_API VqStringPropAtom* vqLLPropOrbit;
extern VQ_API VqStringPropAtom* vqLLPropLWPA;
extern VQ_API VqStringPropAtom* vqLLPropPMI;
extern VQ_API VqStringPropAtom* vqLLPropMetaData;
extern VQ_API VqStringPropAtom* vqLLPropThumbnail;
extern VQ_API VqStringPropAtom* vqLLPropData;
