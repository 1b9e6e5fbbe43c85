#pragma once

#include "VqExport.h"
#include "VqGUID.h"
#include "VqRequestEntry.h"
#include "VqRequestHandler.h"
#include "VqSharedPtr.h"

class VqLateLoadedPropAtom;
class VqPartition;
class VqResidencyRequestManager;
class VqShape;
class VqShapeImpl;
class VqStreamMgr;

// A request for a stored shape implementation. What the load needs is
// copied from the shape when the request is made (the partition, its stream
// manager and file version, the segment and its alias), so that the loader
// reads the file without looking at the graph; the implementation read stays
// in the entry until the application thread installs it in the shape.
class VQ_API VqShapeRequestEntry : public VqRequestEntry {
public:
    explicit VqShapeRequestEntry(VqShape* shape);
    ~VqShapeRequestEntry() override;

    bool handleEntry() override;
    // Installs the implementation (unless the shape got one meanwhile or its
    // value names another segment by now) and merges its vertex records into
    // a registered pool that fits. After a failed load the shape stays
    // without implementation and the load's error is the hook-up's.
    bool hookupEntry() override;
    // The shape itself, its partition, and any node above the shape.
    bool belongsTo(const VqBase* document) const override;
    Kind kind() const override { return REQ_KIND_SHAPE; }

    // The implementation read, until it is hooked up.
    VqShapeImpl* result() const { return _pResult.get(); }

    // The process-wide manager with the shapes' handler registered.
    static VqResidencyRequestManager* manager();

private:
    bool _mergeIntoSharedPool() const;

    Vq::SharedPtr<VqPartition> _pPartition;
    Vq::SharedPtr<VqStreamMgr> _pStreamMgr;
    int _nMajor = -1;
    int _nMinor = -1;
    VqGUID _guid;
    int _eSegType = 0;
    uint32_t _uAlias = 0;
    // Formats 6.4-7.x: the file position of the implementation.
    int64_t _iPos = -1;
    bool _bStored = false;
    // The load's own value holds the object under the segment's alias until
    // the shape's value shares it.
    Vq::SharedPtr<VqLateLoadedPropAtom> _pHolder;
    Vq::SharedPtr<VqShapeImpl> _pResult;
};

// Makes shape entries for shapes without implementation.
class VQ_API VqShapeRequestHandler : public Vq::RequestHandler {
public:
    bool isLoaded(const VqBase* object) const override;
    bool createEntry(const VqRequestInfo& info, Vq::SharedPtr<VqRequestEntry>& out) override;
};
