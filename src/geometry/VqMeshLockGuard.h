#pragma once

#include "VqTopoMesh.h"

// Holds a mesh's lock for a scope: the write lock, or read locks on the mesh
// and its pool (a writer of a record reads both while it walks them).
class VqMeshLockGuard {
public:
    enum Mode { Read, Write };

    VqMeshLockGuard(const VqTopoMesh& mesh, Mode mode)
        : _pMesh(const_cast<VqTopoMesh*>(&mesh)), _eMode(mode) {
        if (mode == Write) {
            _bMesh = _pMesh->lockWrite(true);
            return;
        }
        _bMesh = _pMesh->lockRead(true);
        _pPool = _pMesh->vtxRecPool();
        _bPool = _bMesh && _pPool->lockRead(true);
    }
    ~VqMeshLockGuard() {
        if (_bPool) _pPool->lockRead(false);
        if (_bMesh) _eMode == Write ? _pMesh->lockWrite(false) : _pMesh->lockRead(false);
    }
    VqMeshLockGuard(const VqMeshLockGuard&) = delete;
    VqMeshLockGuard& operator=(const VqMeshLockGuard&) = delete;

    bool ok() const { return _eMode == Write ? _bMesh : _bPool; }

private:
    VqTopoMesh* _pMesh;
    VqVertexRecordPool* _pPool = nullptr;
    Mode _eMode;
    bool _bMesh = false;
    bool _bPool = false;
};
