#pragma once

#include "VqExport.h"
#include "VqMutex.h"
#include "VqStorageLocation.h"

// A file in the file system: a base path and a name that may itself contain
// directories. The location is relative while its base path is empty. The
// full base path (base path plus the directory part of the name) is cached.
class VQ_API VqFSStorageLocation : public VqStorageLocation {
    VQ_DECLARE_TYPE(VqFSStorageLocation)
public:
    VqFSStorageLocation() = default;
    explicit VqFSStorageLocation(const VqString& name);
    VqFSStorageLocation(const VqString& basePath, const VqString& name);
    VqFSStorageLocation(const VqFSStorageLocation& o);

    // The file at path, relative paths being taken from the current
    // directory: an absolute location, split into its directory and file
    // name, so that files it refers to are found beside it and it names the
    // same file after the current directory changes. The text is in the
    // encoding that file names are converted to.
    static bool fromPath(const VqString& path, Vq::SharedPtr<VqFSStorageLocation>& out);

    uint32_t hash() const override;
    bool isEqual(const VqStorageLocation& other) const override;
    bool getName(VqString& out) const override;
    bool clone(Vq::SharedPtr<VqStorageLocation>& out) const override;
    bool isRelative() const override;

    VqString basePath() const;
    VqString name() const;
    void setBasePath(const VqString& basePath);
    void setName(const VqString& name);
    // Base path followed by the name's directories (up to its last separator).
    VqString fullBasePath() const;
    // Base path followed by the name.
    VqString fullPath() const;

    static bool isSeparator(unsigned short c) { return c == '/' || c == '\\'; }

private:
    mutable VqMutex _tMutex;
    VqString _strBasePath;
    VqString _strName;
    mutable VqString _strFullBasePath;
    mutable bool _bFullBaseValid = false;
};
