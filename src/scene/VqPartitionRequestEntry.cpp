#include "VqPartitionRequestEntry.h"

#include "VqErrorState.h"
#include "VqPartition.h"
#include "VqResidencyRequestManager.h"
#include "VqStorageLocation.h"


namespace {
const char* const kCls = "VqPartitionRequestEntry";
}

VqPartitionRequestEntry::VqPartitionRequestEntry(VqPartition* partition) : VqRequestEntry(partition) {
    // Copies, so that the loader shares nothing with the graph: the node's
    // location, and a detached partition standing for the file that location
    // resolves against. Holding the enclosing partition itself would keep a
    // released graph, and with it this node, alive for the loader to read.
    Vq::SharedPtr<VqStorageLocation> parentLoc;
    if (!partition->_openSource(_pLocation, parentLoc))
        _pSourceError = VqErrorState::currentError();
    else if (parentLoc)
        _pParent = new VqPartition(parentLoc.get());
}

bool VqPartitionRequestEntry::handleEntry() {
    auto* p = static_cast<VqPartition*>(object());
    if (_pSourceError) {
        VqErrorState::setError(_pSourceError.get());
        return false;
    }
    if (p->isOpen() || _pResult) return true;
    return VqPartition::openPartition(_pLocation.get(), _pParent.get(), _pResult);
}

bool VqPartitionRequestEntry::hookupEntry() {
    auto* p = static_cast<VqPartition*>(object());
    // Opened meanwhile by another request for the node: the copy read here is
    // not merged a second time.
    if (p->isOpen()) return true;
    const bool ok = p->mergeBottomHalf(_pResult.get(), failed());
    _pResult.reset();
    return ok;
}

bool VqPartitionRequestEntry::belongsTo(const VqBase* document) const {
    return static_cast<const VqNode*>(object())->isAtOrAbove(document);
}

VqResidencyRequestManager* VqPartitionRequestEntry::manager() {
    return VqResidencyRequestManagerSingleton::EnsureInstanceHandling(
        VqPartition::classTypeID(), []() -> Vq::RequestHandler* { return new VqPartitionRequestHandler(); });
}

bool VqPartitionRequestHandler::isLoaded(const VqBase* object) const {
    return static_cast<const VqPartition*>(object)->isOpen();
}

bool VqPartitionRequestHandler::createEntry(const VqRequestInfo& info, Vq::SharedPtr<VqRequestEntry>& out) {
    auto* p = Vq::typeCast<VqPartition>(info.object());
    if (!p) VQ_FAIL(kCls, "createEntry", "pObj->isOfType(VqPartition::classTypeID())", VQ_ERR_ARGUMENT);
    if (p->isSaving()) VQ_FAIL(kCls, "createEntry", "!isSaving()", VQ_ERR_INTERNAL);
    Vq::SharedPtr<VqPartitionRequestEntry> entry = new VqPartitionRequestEntry(p);
    if (entry && !entry->location()) VQ_FAIL(kCls, "createEntry", "_dbLocation", VQ_ERR_ARGUMENT);
    out = entry;
    if (!out) VQ_FAIL(kCls, "createEntry", "Allocation failed: new VqPartitionRequestEntry", VQ_ERR_ALLOC);
    return true;
}
