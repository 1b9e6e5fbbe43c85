#pragma once

#include "VqAllocHooked.h"
#include "VqExport.h"
#include "VqMutex.h"
#include "VqVec.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Vq {

// Lends temporary vectors and codec drivers, so that code decoding or
// encoding many arrays in a row reuses the same few buffers instead of growing
// new ones each time. Signed and unsigned vectors of one width share a pool.
// Concurrent callers always get distinct vectors and drivers.
class VQ_API ScratchMgr : public VqAllocHooked {
public:
    // Vectors that grew beyond this many elements are freed on release.
    static constexpr size_t s_cMaxIdleCapacity = 0x100000;
    static constexpr int s_cNumCapacityClasses = 30;
    enum VecPool { PoolInt = 0, PoolChar = 1, PoolFloat = 2, NumVecPools = 3 };
    // The kinds of codec driver pooled. The drivers live in the codec layer,
    // above this one: a driver class names its pool (s_eScratchPool) and the
    // manager keeps idle drivers with the function that deletes them.
    enum DriverPool {
        PoolCodecDriver2 = 0,
        PoolCodecDriver3 = 1,
        PoolCodecDriver3L = 2,
        PoolCompressedRepHelper = 3, // format-8 vertex data, each helper with its driver
        NumDriverPools = 4
    };

    static ScratchMgr* EnsureInstance();
    static void ReleaseInstance();

    // An empty vector, idle or new; false (code 20) when none can be allocated.
    bool acquireVeci(VqVeci*& opVeci);
    bool acquireVecu(VqVecu*& opVecu);
    bool acquireVecf(VqVecf*& opVecf);
    bool acquireVecc(VqVecc*& opVecc);
    bool acquireVecuc(VqVecuc*& opVecuc);
    // Empties the vector and keeps it for the next caller (a null one is ignored).
    void releaseVeci(VqVeci* pVec);
    void releaseVecu(VqVecu* pVec);
    void releaseVecf(VqVecf* pVec);
    void releaseVecc(VqVecc* pVec);
    void releaseVecuc(VqVecuc* pVec);

    // An idle driver of D's pool, or a new one; false (code 20) when none can
    // be allocated. Released drivers are kept up to the platform's codec
    // driver budget per pool; the rest are deleted.
    template <class D>
    bool acquireCodecDriver(D*& opDriver) {
        opDriver = static_cast<D*>(_popDriver(D::s_eScratchPool));
        // Drivers allocate through VqAllocHooked, whose new gives null on failure.
        if (!opDriver) opDriver = new D;
        if (!opDriver) return _driverAllocFailed();
        return true;
    }
    template <class D>
    void releaseCodecDriver(D* pDriver) {
        if (pDriver) _pushDriver(D::s_eScratchPool, pDriver, [](void* p) { delete static_cast<D*>(p); });
    }
    // Deletes every idle driver, or those of one pool.
    void shrinkCodecDriverPool();
    void shrinkCodecDriverPool(DriverPool pool);
    int numIdleDrivers(DriverPool pool) const;

    // Frees every idle vector.
    void shrink();
    // Bytes held by idle vectors (idle drivers not counted).
    size_t memSize() const;
    // Released vectors per capacity class: class k counts the requests that
    // used fewer than 2^k elements and at least 2^(k-1); the last class takes
    // everything larger.
    void getUsageStats(VecPool pool, uint64_t (&counts)[s_cNumCapacityClasses]) const;
    int numIdle(VecPool pool) const;

    ~ScratchMgr();

private:
    enum ElemType { TypeInt, TypeUInt, TypeChar, TypeUChar, TypeFloat };
    struct Entry {
        void* pVec;
        ElemType eType;
    };
    struct Pool {
        mutable VqMutex mutex;
        std::vector<Entry> vIdle;
        uint64_t anUsage[s_cNumCapacityClasses] = {};
    };

    ScratchMgr() = default;
    template <class V>
    bool _acquire(Pool& pool, ElemType type, V*& out, const char* failure);
    template <class V>
    void _release(Pool& pool, ElemType type, V* pVec);
    static void _delete(const Entry& e);
    static size_t _bytes(const Entry& e);

    struct IdleDriver {
        void* pDriver;
        void (*pDelete)(void*);
    };
    struct DriverPoolState {
        mutable VqMutex mutex;
        std::vector<IdleDriver> vIdle;
    };
    void* _popDriver(DriverPool pool);
    void _pushDriver(DriverPool pool, void* pDriver, void (*pDelete)(void*));
    static bool _driverAllocFailed();

    Pool _aPools[NumVecPools];
    DriverPoolState _aDriverPools[NumDriverPools];
};

} // namespace Vq

extern VQ_API Vq::ScratchMgr* g_pInstanceVqScratchMgr;
