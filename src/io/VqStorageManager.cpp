#include "VqStorageManager.h"

#include "VqErrorState.h"
#include "VqFSStorageLocation.h"
#include "VqFileByteStream.h"
#include "VqRwClientMgr.h"
#include "VqRwStorageLocation.h"
#include "VqTOCStreamMgr.h"

#include <string>
#include <sys/stat.h>
#include <unistd.h>

VqStorageManager* g_pInstanceVqStorageManager = nullptr;

namespace {
bool accessible(const VqString& path, int mode) {
    std::string mbs;
    if (!Vq::convertToMBCS(mbs, path) || mbs.empty()) return false;
    return ::access(mbs.c_str(), mode) == 0;
}

// Files are read at offsets they name, so only a regular file can be one. A
// location that a file names may be anything the process can open: a FIFO
// would block the open until someone writes to it, a device would never end.
bool readableFile(const VqString& path) {
    std::string mbs;
    if (!Vq::convertToMBCS(mbs, path) || mbs.empty()) return false;
    struct stat st;
    return ::stat(mbs.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(mbs.c_str(), R_OK) == 0;
}
} // namespace

// ---------------------------------------------------------------------------------------------------------------
// VqStorageManager

bool VqStorageManager::openLocationAsVq(const VqStorageLocation* loc, bool readOnly,
                                        Vq::SharedPtr<VqStreamMgr>& out) {
    out.reset();
    if (!loc) VQ_FAIL("VqStorageManager", "openLocationAsVq", "pLocation", VQ_ERR_ARGUMENT);
    VqAutoLock lock(_tMutex);
    if (const auto* fs = Vq::typeCast<VqFSStorageLocation>(loc)) {
        VqString path = fs->fullPath();
        if (path.numChars() == 0)
            VQ_FAIL("VqStorageManager", "openLocationAsVq", "Empty path detected.", VQ_ERR_CORRUPT);
        if (readOnly && !readableFile(path))
            VQ_FAIL("VqStorageManager", "openLocationAsVq", "Unable to open file", VQ_ERR_OPEN);
        out = new VqTOCStreamMgr(loc, readOnly);
        if (!out)
            VQ_FAIL("VqStorageManager", "openLocationAsVq",
                    "Allocation failed: pStreamMgr = new VqTOCStreamMgr(pLocation, bReadOnly)", VQ_ERR_ALLOC);
        return true;
    }
    if (const auto* rw = Vq::typeCast<VqRwStorageLocation>(loc)) {
        VQ_PROPAGATE(VqRwClientMgr::createStreamMgr(rw, readOnly, out));
        return true;
    }
    VQ_FAIL("VqStorageManager", "openLocationAsVq", "Unsupported Storage Location", VQ_ERR_ARGUMENT);
}

bool VqStorageManager::openLocationAsRaw(const VqStorageLocation* loc, bool readOnly,
                                         Vq::SharedPtr<VqByteStream>& out) {
    out.reset();
    if (!loc) VQ_FAIL("VqStorageManager", "openLocationAsRaw", "pLocation", VQ_ERR_ARGUMENT);
    VqAutoLock lock(_tMutex);
    if (const auto* fs = Vq::typeCast<VqFSStorageLocation>(loc)) {
        VqString path = fs->fullPath();
        if (path.numChars() == 0)
            VQ_FAIL("VqStorageManager", "openLocationAsRaw", "Empty path detected.", VQ_ERR_CORRUPT);
        if (readOnly && !readableFile(path))
            VQ_FAIL("VqStorageManager", "openLocationAsRaw", "Unable to open file", VQ_ERR_OPEN);
        out = new VqFileByteStream(path, readOnly, false);
        if (!out)
            VQ_FAIL("VqStorageManager", "openLocationAsRaw",
                    "Allocation failed: pStream = new VqFileByteStream(path, bReadOnly, false)",
                    VQ_ERR_ALLOC);
        return true;
    }
    if (const auto* rw = Vq::typeCast<VqRwStorageLocation>(loc)) {
        VQ_PROPAGATE(VqRwClientMgr::createRawStream(rw, readOnly, false, out));
        return true;
    }
    VQ_FAIL("VqStorageManager", "openLocationAsRaw", "Unsupported Storage Location", VQ_ERR_ARGUMENT);
}

bool VqStorageManager::resolveLocationBatch(const Vq::SharedPtrVec<VqStorageLocation>& rels,
                                            const VqStorageLocation* parent,
                                            Vq::SharedPtrVec<VqStorageLocation>& out) {
    out.clear();
    out.resize(rels.size());
    for (size_t i = 0; i < rels.size(); ++i) {
        if (!rels[i]) continue;
        VQ_PROPAGATE(resolveLocation(rels[i].get(), parent, out[i]));
    }
    return true;
}

bool VqStorageManager::createLocationSpec(const VqString& text, Vq::SharedPtr<VqStorageLocation>& out) {
    out.reset();
    if (VqRwStorageLocation::isLocationText(text)) {
        VQ_PROPAGATE(VqRwStorageLocation::fromLocationText(text, out));
        return true;
    }
    out = new VqFSStorageLocation(text);
    if (!out)
        VQ_FAIL("VqStorageManager", "createLocationSpec", "Allocation failed: new VqFSStorageLocation(text)",
                VQ_ERR_ALLOC);
    return true;
}

bool VqStorageManager::createSpecFromLocation(const VqStorageLocation* loc, VqString& text) {
    text.clear();
    if (!loc) VQ_FAIL("VqStorageManager", "createSpecFromLocation", "pLocation", VQ_ERR_ARGUMENT);
    if (const auto* fs = Vq::typeCast<VqFSStorageLocation>(loc)) {
        text = fs->name();
        return true;
    }
    if (const auto* rw = Vq::typeCast<VqRwStorageLocation>(loc)) {
        VQ_PROPAGATE(rw->toLocationText(text));
        return true;
    }
    VQ_FAIL("VqStorageManager", "createSpecFromLocation", "Unsupported Storage Location", VQ_ERR_ARGUMENT);
}

// ---------------------------------------------------------------------------------------------------------------
// VqFSStorageManager

VqFSStorageManager::VqFSStorageManager() {
    _vSearchPaths.push_back(relativeToParentToken());
    _vSearchPaths.push_back(VqString());
}

const VqString& VqFSStorageManager::relativeToParentToken() {
    static const VqString s_token("%%RELATIVE_TO_PARENT%%");
    return s_token;
}

bool VqFSStorageManager::isReadable(const VqString& path) {
    return accessible(path, R_OK);
}

bool VqFSStorageManager::isWritable(const VqString& path) {
    return accessible(path, W_OK);
}

bool VqFSStorageManager::resolveLocation(const VqStorageLocation* rel, const VqStorageLocation* parent,
                                         Vq::SharedPtr<VqStorageLocation>& out) {
    out.reset();
    const auto* pfsRelLoc = Vq::typeCast<VqFSStorageLocation>(rel);
    VqString relName = pfsRelLoc ? pfsRelLoc->name() : VqString();
    if (!(pfsRelLoc && relName.numChars() > 0))
        VQ_FAIL("VqFSStorageManager", "resolveLocation", "pfsRelLoc && pfsRelLoc->name().numChars()>0",
                VQ_ERR_ARGUMENT);
    const auto* fsParent = Vq::typeCast<VqFSStorageLocation>(parent);
    VqAutoLock lock(_tMutex);
    for (const VqString& entry : _vSearchPaths) {
        VqString base = entry;
        if (entry == relativeToParentToken()) {
            if (!fsParent) continue;
            base = fsParent->fullBasePath();
            if (base.numChars() == 0) continue;
        }
        if (!isReadable(base + relName)) continue;
        out = new VqFSStorageLocation(base, relName);
        if (!out)
            VQ_FAIL("VqFSStorageManager", "resolveLocation",
                    "Allocation failed: new VqFSStorageLocation(base, name)", VQ_ERR_ALLOC);
        return true;
    }
    VQ_FAIL("VqFSStorageManager", "resolveLocation", "_resolveBasePath() failed", VQ_ERR_SETTING);
}

int VqFSStorageManager::numSearchPaths() const {
    VqAutoLock lock(_tMutex);
    return static_cast<int>(_vSearchPaths.size());
}

VqString VqFSStorageManager::searchPath(int index) const {
    VqAutoLock lock(_tMutex);
    if (index < 0 || index >= static_cast<int>(_vSearchPaths.size())) return VqString();
    return _vSearchPaths[index];
}

int VqFSStorageManager::findSearchPath(const VqString& path) const {
    VqAutoLock lock(_tMutex);
    for (size_t i = 0; i < _vSearchPaths.size(); ++i)
        if (_vSearchPaths[i] == path) return static_cast<int>(i);
    return -1;
}

bool VqFSStorageManager::appendSearchPath(const VqString& path) {
    VqAutoLock lock(_tMutex);
    _vSearchPaths.push_back(path);
    return true;
}

bool VqFSStorageManager::insertSearchPath(int index, const VqString& path) {
    VqAutoLock lock(_tMutex);
    if (index < 0 || index > static_cast<int>(_vSearchPaths.size()))
        VQ_FAIL("VqFSStorageManager", "insertSearchPath", "index >= 0 && index <= numSearchPaths()",
                VQ_ERR_ARGUMENT);
    _vSearchPaths.insert(_vSearchPaths.begin() + index, path);
    return true;
}

bool VqFSStorageManager::replaceSearchPath(int index, const VqString& path) {
    VqAutoLock lock(_tMutex);
    if (index < 0 || index >= static_cast<int>(_vSearchPaths.size()))
        VQ_FAIL("VqFSStorageManager", "replaceSearchPath", "index >= 0 && index < numSearchPaths()",
                VQ_ERR_ARGUMENT);
    _vSearchPaths[index] = path;
    return true;
}

bool VqFSStorageManager::removeSearchPath(int index) {
    VqAutoLock lock(_tMutex);
    if (index < 0 || index >= static_cast<int>(_vSearchPaths.size()))
        VQ_FAIL("VqFSStorageManager", "removeSearchPath", "index >= 0 && index < numSearchPaths()",
                VQ_ERR_ARGUMENT);
    _vSearchPaths.erase(_vSearchPaths.begin() + index);
    return true;
}

bool VqFSStorageManager::removeSearchPath(const VqString& path) {
    int index = findSearchPath(path);
    if (index < 0)
        VQ_FAIL("VqFSStorageManager", "removeSearchPath", "findSearchPath(path) >= 0", VQ_ERR_ARGUMENT);
    return removeSearchPath(index);
}

void VqFSStorageManager::removeAllSearchPaths() {
    VqAutoLock lock(_tMutex);
    _vSearchPaths.clear();
}

// ---------------------------------------------------------------------------------------------------------------
// VqStorageManagerSingleton

VqStorageManager* VqStorageManagerSingleton::EnsureInstance() {
    if (!g_pInstanceVqStorageManager) {
        VqStorageManager* mgr = new VqFSStorageManager();
        if (mgr) mgr->ref();
        g_pInstanceVqStorageManager = mgr;
    }
    return g_pInstanceVqStorageManager;
}

void VqStorageManagerSingleton::Release() {
    VqStorageManager* mgr = g_pInstanceVqStorageManager;
    g_pInstanceVqStorageManager = nullptr;
    if (mgr) mgr->unref();
}
