// The residency request manager's step for a whole model context. The
// manager sits in the io layer, below the model context; its execute for a
// model context is declared there with the model context only named, and is
// defined here, where the model context's graphs and spatial trees are
// visible. That keeps the call the host makes once per frame a member of the
// manager without making the io layer include the scene layer.

#include "VqErrorState.h"
#include "VqModelContext.h"
#include "VqPartition.h"
#include "VqResidencyRequestManager.h"
#include "VqSpatialTree.h"

bool VqResidencyRequestManager::execute(Vq::ModelContext* pMC, VqNoArgFtor* interrupt) {
    if (!pMC) VQ_FAIL("VqResidencyRequestManager", "execute", "pMC != __null", VQ_ERR_ARGUMENT);
    std::vector<const VqBase*> documents;
    for (unsigned int i = 0; i < pMC->numLogicalSceneGraphs(); ++i)
        if (const VqPartition* p = pMC->logicalSceneGraph(i)) documents.push_back(p);
    for (unsigned int i = 0; i < pMC->numSpatialTrees(); ++i)
        if (const Vq::SpatialTree* t = pMC->spatialTree(i)) documents.push_back(t);

    VqAutoLock lock(_mxExecute);
    bool ok = true;
    for (const VqBase* d : documents)
        ok = _hookUpLoadedShapes(d) && ok;
    if (numLoaderThreads() == 0) {
        // One time slice for the whole model, not one per graph.
        ok = _localTimeSliceShapes(interrupt) && ok;
        for (const VqBase* d : documents)
            ok = _hookUpLoadedShapes(d) && ok;
    }
    _releaseRetired();
    if (!ok) VqErrorState::rethrowError();
    return ok;
}
