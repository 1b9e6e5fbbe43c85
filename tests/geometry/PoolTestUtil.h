#pragma once

#include "VqLibFixture.h"
#include "VqVertexRecordPool.h"

#include <cstdint>
#include <vector>

// A mesh as the pool sees it: an index list, registered with the pool for
// the mesh's lifetime, that records the change codes it hears. The tests'
// pools live on the stack, so the double does not count its reference.
class FakeMesh : public Vq::VertexRecordPoolMesh {
public:
    FakeMesh(VqVertexRecordPool* pool, std::vector<uint32_t> indices)
        : _pPool(pool), indices(std::move(indices)) {
        _pPool->addMesh(this);
    }
    ~FakeMesh() { _pPool->removeMesh(this); }
    FakeMesh(const FakeMesh&) = delete;
    FakeMesh& operator=(const FakeMesh&) = delete;

    void _indexMapReference(VqVecu& vMap, uint32_t& nNext) const override {
        for (uint32_t i : indices)
            if (i < vMap.size() && vMap[static_cast<int>(i)] == 0xFFFFFFFFu)
                vMap[static_cast<int>(i)] = nNext++;
    }
    bool _indexMapUpdate(const VqVecu& vMap) override {
        for (uint32_t& i : indices)
            i = vMap[static_cast<int>(i)];
        ++nUpdates;
        return true;
    }
    bool _vtxRecPoolChanged(const VqVertexRecordPool*, Vq::BaseChange change) override {
        changes.push_back(change);
        return true;
    }

    VqVertexRecordPool* _pPool;
    std::vector<uint32_t> indices;
    std::vector<Vq::BaseChange> changes;
    int nUpdates = 0;
};

// Holds a pool's write lock for a scope.
struct WriteLock {
    explicit WriteLock(VqVertexRecordPool& p) : pool(p) { EXPECT_TRUE(pool.lockWrite(true)); }
    ~WriteLock() { pool.lockWrite(false); }
    VqVertexRecordPool& pool;
};

// The records' data, attribute by attribute, for adding to a pool.
struct Records {
    std::vector<float> coords, normals, colors;
    std::vector<float> tex[VQ_GEOMBIND_NUM_TEXUNITS];
    std::vector<unsigned char> flags;

    // Appends them all to pool (under its write lock); first is the first new index.
    bool addTo(VqVertexRecordPool& pool, uint32_t n, uint32_t* first = nullptr) const {
        const float* t[VQ_GEOMBIND_NUM_TEXUNITS];
        for (int k = 0; k < VQ_GEOMBIND_NUM_TEXUNITS; ++k)
            t[k] = tex[k].empty() ? nullptr : tex[k].data();
        uint32_t f = 0;
        WriteLock lock(pool);
        const bool ok = pool.addVtxRecords(
            n, f, coords.empty() ? nullptr : coords.data(), normals.empty() ? nullptr : normals.data(),
            colors.empty() ? nullptr : colors.data(), t, flags.empty() ? nullptr : flags.data());
        if (first) *first = f;
        return ok;
    }
};

// Component c of record i.
inline float coordOf(const VqVertexRecordPool& p, uint32_t i, int c) {
    return p.fields()->vtxCoords()[size_t(i) * p.fields()->numVtxCoordComps() + c];
}
