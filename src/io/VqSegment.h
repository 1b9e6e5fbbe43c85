#pragma once

#include "VqExport.h"
#include "VqGUID.h"
#include "VqRefCounted.h"
#include "VqSharedPtr.h"

#include <vector>

class VqObjectStream;
class VqStreamMgr;

// One part of a pending segment's contents (a graph of elements, or one
// element), written in order when the segment is flushed.
class VQ_API VqSegmentSection : public VqRefCounted {
public:
    virtual bool write(VqObjectStream& os) = 0;
    // Clears the persisted mark of the late-loaded data this section holds,
    // so that a later save writes it again after a failed one.
    virtual void invalidatePersistedState() = 0;
};

// A segment that the stream manager writes when the file is closed: its
// rank (write order by type), type, GUID and the sections that make up its
// contents.
class VQ_API VqSegment : public VqRefCounted {
public:
    VqSegment(int segType, const VqGUID& guid);
    // A segment copied as stored from the file source reads (see
    // VqStreamMgr::addCopiedSegment); it has no sections.
    VqSegment(int segType, const VqGUID& guid, VqStreamMgr* source);
    ~VqSegment() override;

    int rank() const { return _nRank; }
    int segType() const { return _nSegType; }
    const VqGUID& guid() const { return _tGuid; }

    bool addSection(VqSegmentSection* section);
    int numSections() const { return static_cast<int>(_vpSections.size()); }
    VqStreamMgr* copySource() const { return _pCopySource.get(); }

    // Writes every section in order.
    virtual bool serialize(VqObjectStream& os);
    virtual void invalidatePersistedState();

private:
    int _nRank;
    int _nSegType;
    VqGUID _tGuid;
    Vq::SharedPtrVec<VqSegmentSection> _vpSections;
    Vq::SharedPtr<VqStreamMgr> _pCopySource;
};
