#pragma once

#include "VqExport.h"
#include "VqMutex.h"
#include "VqRefCounted.h"
#include "VqSharedPtr.h"
#include "VqString.h"

#include <vector>

class VqByteStream;
class VqStorageLocation;
class VqStreamMgr;

// Turns storage locations into stream managers and byte streams, resolves
// locations relative to the file that refers to them, and converts
// locations to and from their text form. The process-wide instance is a
// VqFSStorageManager (VqStorageManagerSingleton).
class VQ_API VqStorageManager : public VqRefCounted {
public:
    VqStorageManager() = default;
    ~VqStorageManager() override = default;

    // A VQ stream manager (VqTOCStreamMgr) on the location; nothing is opened yet.
    virtual bool openLocationAsVq(const VqStorageLocation* loc, bool readOnly,
                                  Vq::SharedPtr<VqStreamMgr>& out);
    // A byte stream on the location (not truncating).
    virtual bool openLocationAsRaw(const VqStorageLocation* loc, bool readOnly,
                                   Vq::SharedPtr<VqByteStream>& out);
    virtual bool resolveLocation(const VqStorageLocation* rel, const VqStorageLocation* parent,
                                 Vq::SharedPtr<VqStorageLocation>& out) = 0;
    // Resolves each in turn; out has one entry per input (null where the input was null).
    virtual bool resolveLocationBatch(const Vq::SharedPtrVec<VqStorageLocation>& rels,
                                      const VqStorageLocation* parent,
                                      Vq::SharedPtrVec<VqStorageLocation>& out);
    // Conversion between a location and its text form: a file-system path, or
    // the fixed layout of a product-data-management location.
    virtual bool createLocationSpec(const VqString& text, Vq::SharedPtr<VqStorageLocation>& out);
    virtual bool createSpecFromLocation(const VqStorageLocation* loc, VqString& text);

protected:
    // Serialises resolution and opening.
    mutable VqMutex _tMutex;
};

// The file-system storage manager: an ordered list of search paths, in which
// the token "%%RELATIVE_TO_PARENT%%" stands for the directory of the file
// that refers to the location being resolved.
class VQ_API VqFSStorageManager : public VqStorageManager {
public:
    VqFSStorageManager();

    bool resolveLocation(const VqStorageLocation* rel, const VqStorageLocation* parent,
                         Vq::SharedPtr<VqStorageLocation>& out) override;

    int numSearchPaths() const;
    VqString searchPath(int index) const;
    // Index of path in the list, -1 when absent.
    int findSearchPath(const VqString& path) const;
    bool appendSearchPath(const VqString& path);
    bool insertSearchPath(int index, const VqString& path);
    bool replaceSearchPath(int index, const VqString& path);
    bool removeSearchPath(int index);
    bool removeSearchPath(const VqString& path);
    void removeAllSearchPaths();
    static const VqString& relativeToParentToken();

    // Whether the file can be read (written) by this process.
    static bool isReadable(const VqString& path);
    static bool isWritable(const VqString& path);

private:
    std::vector<VqString> _vSearchPaths;
};

// Holder of the process-wide storage manager.
class VQ_API VqStorageManagerSingleton {
public:
    static VqStorageManager* EnsureInstance();
    static void Release();
};

extern VQ_API VqStorageManager* g_pInstanceVqStorageManager;
