#pragma once

#include "VqExport.h"
#include "VqPath.h"
#include "VqRefCounted.h"

class VqNode;

// Restricts an attribute to the instances of its node reached through one
// path: the attribute applies where the path by which its node is reached
// ends with the qualifier's path, which ends at that node.
//
// While it is attached, the qualifier holds a reference to the first node
// of its path, which counts it among its path-qualifier starts; the nodes
// below are held by their parents. A qualifier is never written to a file.
class VQ_API VqPathQual : public VqRefCounted {
public:
    explicit VqPathQual(const VqPath& path) : _path(path) {}
    const VqPath& path() const { return _path; }
    // Whether path ends with this qualifier's path.
    bool isValid(const VqPath* path) const;
    // The same for the part of path from its head to the node at index tail.
    bool isValid(const VqPath& path, int tail) const;
    bool operator==(const VqPathQual& o) const { return _path == o._path; }

private:
    VqPath _path;
};
