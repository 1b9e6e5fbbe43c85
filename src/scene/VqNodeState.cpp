#include "VqErrorState.h"
#include "VqModelContext.h"
#include "VqMutex.h"
#include "VqNode.h"
#include "VqPath.h"
#include "VqState.h"

#include <vector>

// The state of the instance reached by path: the deepest instance on the
// path whose state is cached is the start; below it each node's state is its
// parent instance's state (sharing its slots) with the node's attributes
// accumulated, finalized and cached under the node's instance key. The state
// at a root starts from the defaults of the model context that holds it.
bool VqNode::getState(const VqNode* node, const VqPath* path, Vq::SharedPtr<VqState>& state) {
    state = nullptr;
    VQ_CHECK(node != nullptr && path != nullptr, "VqNode", "getState", VQ_ERR_ARGUMENT);
    if (!(path->last() == node)) VQ_FAIL("VqNode", "getState", "path->last() == node", VQ_ERR_ARGUMENT);
    if (!s_pInstDataMutex) VQ_FAIL("VqNode", "getState", "s_pInstDataMutex", VQ_ERR_INTERNAL);
    unsigned int tailKey = 0;
    VQ_PROPAGATE(path->getPathBitVec(tailKey));
    const int n = path->length();
    // The key of every prefix, from the tail's key upwards.
    std::vector<unsigned int> keys(static_cast<size_t>(n));
    keys[size_t(n - 1)] = tailKey;
    for (int i = n - 1; i > 0; --i) {
        const int bits = VqPath::cLog2((*path)[i]->numParents());
        keys[size_t(i - 1)] = keys[size_t(i)] >> bits;
    }
    int start = n - 1;
    Vq::SharedPtr<VqState> cur;
    // The records are read and written under the class mutex, since several
    // traversal threads may ask at once; the states are built outside it (two
    // threads may then build the same state, and either result is right).
    for (; start >= 0; --start) {
        VqAutoLock lock(s_pInstDataMutex);
        VqInstData* d = (*path)[start]->instData(keys[size_t(start)], false);
        if (d && d->_pState) {
            cur = static_cast<VqState*>(d->_pState.get());
            break;
        }
    }
    if (start == n - 1) {
        state = cur;
        return true;
    }
    // The attributes that apply at each node on this path: a qualified one
    // only where the path ends with its qualifier's.
    VqAttrDataHdl attrs;
    for (int i = start + 1; i < n; ++i) {
        const VqNode* ni = (*path)[i];
        Vq::SharedPtr<VqState> next = cur ? new VqState(*cur) : new VqState();
        if (!next) VQ_FAIL("VqNode", "getState", "Allocation failed: pState = new VqState()", VQ_ERR_ALLOC);
        if (!cur) {
            if (Vq::ModelContext* mc = Vq::ModelContext::findModelContext(ni)) {
                Vq::SharedPtrVec<VqAttribute> defaults;
                VQ_PROPAGATE(mc->getDefaultAttributes(defaults) && next->setAttributes(defaults));
                // Shadow-casting lights get their places in the model's list,
                // which their shadow maps are accumulated by.
                mc->numShadowCastingLights();
            }
        }
        VQ_PROPAGATE(path->accumLGAttr(attrs, i, i));
        for (int a = 0; a < attrs->numAttributes(); ++a)
            VQ_PROPAGATE(next->accumAttribute(attrs->attribute(a), path));
        VQ_PROPAGATE(next->finalize());
        {
            VqAutoLock lock(s_pInstDataMutex);
            VqInstData* d = ni->instData(keys[size_t(i)], true);
            if (!d) VQ_FAIL("VqNode", "getState", "pInstData", VQ_ERR_INTERNAL);
            d->_pState = next.get();
        }
        cur = next;
    }
    state = cur;
    return true;
}
