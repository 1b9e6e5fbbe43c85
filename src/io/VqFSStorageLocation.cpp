#include "VqFSStorageLocation.h"

#include "VqErrorState.h"
#include "VqFactory.h"

#include <filesystem>
#include <string>

VQ_IMPLEMENT_TYPE(VqFSStorageLocation, VqStorageLocation, CLSID_ZQFSStorageLocation)

VqFSStorageLocation::VqFSStorageLocation(const VqString& name) : _strName(name) {}

VqFSStorageLocation::VqFSStorageLocation(const VqString& basePath, const VqString& name)
    : _strBasePath(basePath), _strName(name) {}

VqFSStorageLocation::VqFSStorageLocation(const VqFSStorageLocation& o) : VqStorageLocation(o) {
    VqAutoLock lock(o._tMutex);
    _strBasePath = o._strBasePath;
    _strName = o._strName;
}

bool VqFSStorageLocation::fromPath(const VqString& path, Vq::SharedPtr<VqFSStorageLocation>& out) {
    out.reset();
    if (path.numChars() == 0)
        VQ_FAIL("VqFSStorageLocation", "fromPath", "Empty path detected.", VQ_ERR_CORRUPT);
    std::string local;
    VQ_PROPAGATE(Vq::convertToMBCS(local, path));
    std::error_code ec;
    const std::filesystem::path full = std::filesystem::absolute(local, ec);
    if (ec)
        VQ_FAIL("VqFSStorageLocation", "fromPath", "The current directory cannot be determined",
                VQ_ERR_SETTING);
    // "." elements go, as they name nothing; ".." stays, since collapsing it
    // lexically would be wrong beside a symbolic link.
    std::filesystem::path clean;
    for (const std::filesystem::path& part : full)
        if (part != ".") clean /= part;
    const std::string name = clean.filename().string();
    if (name.empty())
        VQ_FAIL("VqFSStorageLocation", "fromPath", "The path names a directory, not a file", VQ_ERR_ARGUMENT);
    std::string dir = clean.parent_path().string();
    if (dir.empty() || dir.back() != '/') dir += '/';
    out = new VqFSStorageLocation(VqString(dir.c_str()), VqString(name.c_str()));
    if (!out)
        VQ_FAIL("VqFSStorageLocation", "fromPath", "Allocation failed: new VqFSStorageLocation(base, name)",
                VQ_ERR_ALLOC);
    return true;
}

uint32_t VqFSStorageLocation::hash() const {
    return fullPath().hash();
}

bool VqFSStorageLocation::isEqual(const VqStorageLocation& other) const {
    if (&other == this) return true;
    if (!other.isOfType(classTypeID())) return false;
    const auto& o = static_cast<const VqFSStorageLocation&>(other);
    return basePath() == o.basePath() && name() == o.name();
}

bool VqFSStorageLocation::getName(VqString& out) const {
    out = name();
    return true;
}

bool VqFSStorageLocation::clone(Vq::SharedPtr<VqStorageLocation>& out) const {
    out = new VqFSStorageLocation(*this);
    if (!out)
        VQ_FAIL("VqFSStorageLocation", "clone", "Allocation failed: new VqFSStorageLocation(*this)",
                VQ_ERR_ALLOC);
    return true;
}

bool VqFSStorageLocation::isRelative() const {
    VqAutoLock lock(_tMutex);
    return _strBasePath.numChars() == 0;
}

VqString VqFSStorageLocation::basePath() const {
    VqAutoLock lock(_tMutex);
    return _strBasePath;
}

VqString VqFSStorageLocation::name() const {
    VqAutoLock lock(_tMutex);
    return _strName;
}

void VqFSStorageLocation::setBasePath(const VqString& basePath) {
    VqAutoLock lock(_tMutex);
    _strBasePath = basePath;
    _bFullBaseValid = false;
}

void VqFSStorageLocation::setName(const VqString& name) {
    VqAutoLock lock(_tMutex);
    _strName = name;
    _bFullBaseValid = false;
}

VqString VqFSStorageLocation::fullBasePath() const {
    VqAutoLock lock(_tMutex);
    if (!_bFullBaseValid) {
        int lastSep = -1;
        for (int i = _strName.numChars() - 1; i >= 0; --i) {
            if (isSeparator(_strName[i])) {
                lastSep = i;
                break;
            }
        }
        VqString dir;
        if (lastSep >= 0) _strName.subString(0, dir, lastSep + 1);
        _strFullBasePath = _strBasePath + dir;
        _bFullBaseValid = true;
    }
    return _strFullBasePath;
}

VqString VqFSStorageLocation::fullPath() const {
    VqAutoLock lock(_tMutex);
    return _strBasePath + _strName;
}
