#pragma once

#include "VqExport.h"
#include "VqRequestEntry.h"
#include "VqRequestHandler.h"
#include "VqSharedPtr.h"

class VqPartition;
class VqResidencyRequestManager;
class VqStdError;
class VqStorageLocation;

// A request to open a placeholder partition node: a loader thread reads the
// node's file into a partition of its own, and the thread that hooks the
// entry up merges that partition's contents into the node.
class VQ_API VqPartitionRequestEntry : public VqRequestEntry {
public:
    // Takes what the load needs from the node now, on the requesting thread,
    // so that the loader never reads the graph: the location and the
    // partition it resolves against. A node whose file holds the node itself
    // gets an entry that fails as its load.
    explicit VqPartitionRequestEntry(VqPartition* partition);

    bool handleEntry() override;
    bool hookupEntry() override;
    // The node's own execute, and that of any partition above it.
    bool belongsTo(const VqBase* document) const override;
    Kind kind() const override { return REQ_KIND_PARTITION; }

    // The copy of the node's location the load reads.
    const VqStorageLocation* location() const { return _pLocation.get(); }
    // The file read, until it is merged.
    VqPartition* result() const { return _pResult.get(); }

    // The process-wide manager with the partitions' handler registered.
    static VqResidencyRequestManager* manager();

private:
    Vq::SharedPtr<VqStorageLocation> _pLocation;
    // Stands for the enclosing partition's file; null at the top of a graph.
    Vq::SharedPtr<VqPartition> _pParent;
    Vq::SharedPtr<VqPartition> _pResult;
    Vq::SharedPtr<VqStdError> _pSourceError;
};

// Makes partition entries for unopened partition nodes.
class VQ_API VqPartitionRequestHandler : public Vq::RequestHandler {
public:
    bool isLoaded(const VqBase* object) const override;
    bool createEntry(const VqRequestInfo& info, Vq::SharedPtr<VqRequestEntry>& out) override;
};
