#include "VqPartNumContainer.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqVertexRecordPool.h"

#include <mutex>
#include <unordered_map>

VQ_IMPLEMENT_TYPE(Vq::PartNumContainer, VqBase, CLSID_VQPartNumContainer)

namespace Vq {

namespace {
// The last number given per partition. Only counters are kept, never
// pools: a pool carries its own container, so a pool that goes takes its
// number with it, and a number is never given twice within a partition. A
// counter outlives its partition (the partition lives in a layer that cannot
// tell this one); a later partition at the same address merely numbers on
// from it, which costs a few bytes per partition ever saved.
std::mutex s_numMutex;
std::unordered_map<const VqPartition*, uint32_t> s_lastNum;
} // namespace

bool PartNumContainer::poolToPoolNum(VqPartition* pPart, VqVertexRecordPool* pPool, uint32_t& uNum) {
    uNum = 0;
    VQ_CHECK(pPart && pPool, "PartNumContainer", "poolToPoolNum", VQ_ERR_ARGUMENT);
    std::lock_guard<std::mutex> lock(s_numMutex);
    const PartNumContainer* pHave = pPool->partNumContainer();
    if (pHave && pHave->partition() == pPart) {
        uNum = pHave->number();
        return true;
    }
    uint32_t& last = s_lastNum[pPart];
    VQ_CHECK(last < UINT32_MAX, "PartNumContainer", "poolToPoolNum", VQ_ERR_INTERNAL);
    Vq::SharedPtr<PartNumContainer> pNum = new PartNumContainer(pPart, ++last);
    pPool->setPartNumContainer(pNum.get());
    uNum = last;
    return true;
}

} // namespace Vq
