#pragma once

#include "VqExport.h"
#include "VqRefCounted.h"
#include "VqSquareMatrix.h"
#include "VqVec.h"

#include <cstdint>
#include <vector>

class VqAttribute;
class VqNode;

// A list of nodes from a head down to a tail, each a raw child of the one
// before, with its instance key: a 32-bit word that starts with a marker
// bit 1 and, for every node after the head that has P ≥ 2 parents, gains
// cLog2(P) bits naming the parent link the path came through. A key needs
// at most 31 bits of choices; a path or step that would need more is
// refused rather than wrapped into another instance's key.
class VQ_API VqPath {
public:
    VqPath() = default;
    VqPath(const VqNode* tail, unsigned int key);

    // Rebuilds the path upwards from the tail by decoding the key.
    bool setPath(const VqNode* tail, unsigned int key);

    bool append(const VqNode* node);
    bool append(const VqPath& path);
    void pop();
    void clear();
    void reverse();

    int length() const { return static_cast<int>(_vpNodes.size()); }
    const VqNode* first() const { return _vpNodes.empty() ? nullptr : _vpNodes.front(); }
    const VqNode* last() const { return _vpNodes.empty() ? nullptr : _vpNodes.back(); }
    const VqNode* operator[](int i) const { return _vpNodes[size_t(i)]; }
    const VqNode* node(int i) const { return i >= 0 && i < length() ? _vpNodes[size_t(i)] : nullptr; }
    int findNode(const VqNode* node) const;
    bool operator==(const VqPath& o) const { return _vpNodes == o._vpNodes; }
    bool operator!=(const VqPath& o) const { return !(*this == o); }
    // True when this path is a prefix of other.
    bool compare(const VqPath& other) const;

    bool isValidHeadNode(const VqNode* node) const;
    bool isValidTailNode(const VqNode* node) const;

    // The key, computed and cached on first request.
    bool getPathBitVec(unsigned int& key) const;
    bool update();

    // Bits needed for the numbers 0 to n - 1.
    static int cLog2(int n);
    // True when a and b agree in the choice bits that b holds.
    static bool conforms(unsigned int a, unsigned int b);
    // Extends a key by one step down to a child: by child pointer (its first
    // link to parent) or by index among the parent's raw children (which
    // tells the links of a child held twice apart).
    static bool addChildBitsToBitVec(unsigned int& key, const VqNode* parent, const VqNode* child);
    static bool addChildBitsToBitVec(unsigned int& key, const VqNode* parent, int childIndex);
    // One decoding step: the parent the key names for node, key shortened.
    // A node with one parent gives parent 0; a node without parents, or with
    // several and a key of 1, gives null.
    static bool getParentFromBitVec(unsigned int& key, const VqNode* node, VqNode*& parent);

    // The attributes of the path's nodes, head first, each node's in order.
    void collectAttributes(VqVec<VqAttribute*>& out) const;
    // The product of the transforms met from node index from to to
    // (inclusive), lower transforms applied first.
    bool accumulateTransforms(VqSquareMatrix<double, 4>& m, int from, int to) const;
    bool accumulateTransforms(VqSquareMatrix<float, 4>& m, int from, int to) const;

private:
    static bool _shiftIn(unsigned int& key, int parents, int linkIndex);

    std::vector<const VqNode*> _vpNodes;
    mutable unsigned int _uKey = 0;
};

// Restricts an attribute to the instances reached through one path: the
// attribute applies where the path by which its node is reached ends with
// the qualifier's path.
class VQ_API VqPathQual : public VqRefCounted {
public:
    explicit VqPathQual(const VqPath& path) : _path(path) {}
    const VqPath& path() const { return _path; }
    bool isValid(const VqPath* path) const;
    bool operator==(const VqPathQual& o) const { return _path == o._path; }

private:
    VqPath _path;
};
