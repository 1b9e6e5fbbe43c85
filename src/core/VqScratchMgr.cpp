#include "VqScratchMgr.h"

#include "VqErrorState.h"
#include "VqPlatform.h"

#include <algorithm>
#include <bit>
#include <new>

Vq::ScratchMgr* g_pInstanceVqScratchMgr = nullptr;

namespace Vq {

ScratchMgr* ScratchMgr::EnsureInstance() {
    if (!g_pInstanceVqScratchMgr) {
        g_pInstanceVqScratchMgr = new ScratchMgr;
        if (!g_pInstanceVqScratchMgr)
            VqErrorState::throwStdError("Vq::ScratchMgr", "EnsureInstance",
                                        "Allocation failed: g_pInstanceVqScratchMgr = new Vq::ScratchMgr",
                                        VQ_ERR_ALLOC);
    }
    return g_pInstanceVqScratchMgr;
}

void ScratchMgr::ReleaseInstance() {
    delete g_pInstanceVqScratchMgr;
    g_pInstanceVqScratchMgr = nullptr;
}

ScratchMgr::~ScratchMgr() {
    shrink();
    shrinkCodecDriverPool();
}

template <class V>
bool ScratchMgr::_acquire(Pool& pool, ElemType type, V*& out, const char* failure) {
    {
        VqAutoLock lock(pool.mutex);
        for (size_t i = pool.vIdle.size(); i-- > 0;) {
            if (pool.vIdle[i].eType != type) continue;
            out = static_cast<V*>(pool.vIdle[i].pVec);
            pool.vIdle[i] = pool.vIdle.back();
            pool.vIdle.pop_back();
            return true;
        }
    }
    out = new (std::nothrow) V;
    if (!out) VQ_FAIL("Vq::ScratchMgr", "acquire", failure, VQ_ERR_ALLOC);
    return true;
}

template <class V>
void ScratchMgr::_release(Pool& pool, ElemType type, V* pVec) {
    if (!pVec) return;
    const int usageClass =
        std::min<int>(static_cast<int>(std::bit_width(pVec->size())), s_cNumCapacityClasses - 1);
    VqAutoLock lock(pool.mutex);
    ++pool.anUsage[usageClass];
    if (pVec->capacity() > s_cMaxIdleCapacity) {
        delete pVec;
        return;
    }
    pVec->clear();
    try {
        pool.vIdle.push_back({pVec, type});
    } catch (...) {
        delete pVec;
    }
}

bool ScratchMgr::acquireVeci(VqVeci*& opVeci) {
    return _acquire(_aPools[PoolInt], TypeInt, opVeci, "Allocation failed: opVeci = new VqVeci");
}
bool ScratchMgr::acquireVecu(VqVecu*& opVecu) {
    return _acquire(_aPools[PoolInt], TypeUInt, opVecu, "Allocation failed: opVecu = new VqVecu");
}
bool ScratchMgr::acquireVecf(VqVecf*& opVecf) {
    return _acquire(_aPools[PoolFloat], TypeFloat, opVecf, "Allocation failed: opVecf = new VqVecf");
}
bool ScratchMgr::acquireVecc(VqVecc*& opVecc) {
    return _acquire(_aPools[PoolChar], TypeChar, opVecc, "Allocation failed: opVecc = new VqVecc");
}
bool ScratchMgr::acquireVecuc(VqVecuc*& opVecuc) {
    return _acquire(_aPools[PoolChar], TypeUChar, opVecuc, "Allocation failed: opVecuc = new VqVecuc");
}

void ScratchMgr::releaseVeci(VqVeci* pVec) {
    _release(_aPools[PoolInt], TypeInt, pVec);
}
void ScratchMgr::releaseVecu(VqVecu* pVec) {
    _release(_aPools[PoolInt], TypeUInt, pVec);
}
void ScratchMgr::releaseVecf(VqVecf* pVec) {
    _release(_aPools[PoolFloat], TypeFloat, pVec);
}
void ScratchMgr::releaseVecc(VqVecc* pVec) {
    _release(_aPools[PoolChar], TypeChar, pVec);
}
void ScratchMgr::releaseVecuc(VqVecuc* pVec) {
    _release(_aPools[PoolChar], TypeUChar, pVec);
}

void ScratchMgr::_delete(const Entry& e) {
    switch (e.eType) {
    case TypeInt:
        delete static_cast<VqVeci*>(e.pVec);
        break;
    case TypeUInt:
        delete static_cast<VqVecu*>(e.pVec);
        break;
    case TypeChar:
        delete static_cast<VqVecc*>(e.pVec);
        break;
    case TypeUChar:
        delete static_cast<VqVecuc*>(e.pVec);
        break;
    case TypeFloat:
        delete static_cast<VqVecf*>(e.pVec);
        break;
    }
}

size_t ScratchMgr::_bytes(const Entry& e) {
    switch (e.eType) {
    case TypeInt:
        return sizeof(VqVeci) + static_cast<VqVeci*>(e.pVec)->capacity() * sizeof(int);
    case TypeUInt:
        return sizeof(VqVecu) + static_cast<VqVecu*>(e.pVec)->capacity() * sizeof(unsigned);
    case TypeChar:
        return sizeof(VqVecc) + static_cast<VqVecc*>(e.pVec)->capacity();
    case TypeUChar:
        return sizeof(VqVecuc) + static_cast<VqVecuc*>(e.pVec)->capacity();
    case TypeFloat:
        return sizeof(VqVecf) + static_cast<VqVecf*>(e.pVec)->capacity() * sizeof(float);
    }
    return 0;
}

void ScratchMgr::shrink() {
    for (Pool& pool : _aPools) {
        VqAutoLock lock(pool.mutex);
        for (const Entry& e : pool.vIdle)
            _delete(e);
        pool.vIdle.clear();
        pool.vIdle.shrink_to_fit();
    }
}

size_t ScratchMgr::memSize() const {
    size_t total = 0;
    for (const Pool& pool : _aPools) {
        VqAutoLock lock(pool.mutex);
        for (const Entry& e : pool.vIdle)
            total += _bytes(e);
    }
    return total;
}

void ScratchMgr::getUsageStats(VecPool pool, uint64_t (&counts)[s_cNumCapacityClasses]) const {
    const Pool& p = _aPools[pool];
    VqAutoLock lock(p.mutex);
    for (int i = 0; i < s_cNumCapacityClasses; ++i)
        counts[i] = p.anUsage[i];
}

int ScratchMgr::numIdle(VecPool pool) const {
    const Pool& p = _aPools[pool];
    VqAutoLock lock(p.mutex);
    return static_cast<int>(p.vIdle.size());
}

void* ScratchMgr::_popDriver(DriverPool pool) {
    DriverPoolState& p = _aDriverPools[pool];
    VqAutoLock lock(p.mutex);
    if (p.vIdle.empty()) return nullptr;
    void* d = p.vIdle.back().pDriver;
    p.vIdle.pop_back();
    return d;
}

void ScratchMgr::_pushDriver(DriverPool pool, void* pDriver, void (*pDelete)(void*)) {
    // The budget bounds the memory that idle drivers, each with the buffers
    // of its last arrays, keep.
    const size_t budget = static_cast<size_t>(
        std::max(g_pInstanceVqPlatform ? g_pInstanceVqPlatform->codecDriver2Budget() : 16, 0));
    {
        DriverPoolState& p = _aDriverPools[pool];
        VqAutoLock lock(p.mutex);
        if (p.vIdle.size() < budget) {
            try {
                p.vIdle.push_back({pDriver, pDelete});
                return;
            } catch (...) {
            }
        }
    }
    pDelete(pDriver);
}

bool ScratchMgr::_driverAllocFailed() {
    VQ_FAIL("Vq::ScratchMgr", "acquireCodecDriver", "Allocation failed: opDriver = new CodecDriver",
            VQ_ERR_ALLOC);
}

void ScratchMgr::shrinkCodecDriverPool() {
    for (int pool = 0; pool < NumDriverPools; ++pool)
        shrinkCodecDriverPool(DriverPool(pool));
}

void ScratchMgr::shrinkCodecDriverPool(DriverPool pool) {
    DriverPoolState& p = _aDriverPools[pool];
    std::vector<IdleDriver> idle;
    {
        VqAutoLock lock(p.mutex);
        idle.swap(p.vIdle);
    }
    // Outside the lock: a driver's destructor may release scratch vectors.
    for (const IdleDriver& d : idle)
        d.pDelete(d.pDriver);
}

int ScratchMgr::numIdleDrivers(DriverPool pool) const {
    const DriverPoolState& p = _aDriverPools[pool];
    VqAutoLock lock(p.mutex);
    return static_cast<int>(p.vIdle.size());
}

} // namespace Vq
