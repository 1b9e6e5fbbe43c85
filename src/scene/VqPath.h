#pragma once

#include "VqAttrData.h"
#include "VqExport.h"
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
    // The same without recording an error: false when the key does not
    // decode (boxes ask with keys that may name no instance).
    bool _decode(const VqNode* tail, unsigned int key);

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

    // Whether the node starts (ends) the path and every node is a raw child
    // of the one before. Only nodes known to be alive are looked at: a path
    // may outlive some of its nodes.
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

    // The attributes that apply along the path, head first, each node's in
    // order: those without a path qualifier, and those whose qualifier the
    // path (up to their node) ends with.
    void collectAttributes(VqVec<VqAttribute*>& out) const;
    // The same for the nodes from index from to to (inclusive), into data,
    // created when null: what a state accumulates for those nodes.
    bool accumLGAttr(VqAttrDataHdl& data, int from, int to) const;
    // The placement that the transforms of the nodes from index from to to
    // (inclusive) add, lower transforms applied first, composed as the state
    // composes them: those above from decide only whether the transform
    // arriving at from is already final.
    bool accumulateTransforms(VqSquareMatrix<double, 4>& m, int from, int to) const;
    bool accumulateTransforms(VqSquareMatrix<float, 4>& m, int from, int to) const;

private:
    static bool _shiftIn(unsigned int& key, int parents, int linkIndex);
    enum class Decoded { Ok, BadParent, KeyLeft };
    Decoded _decodeSteps(const VqNode* tail, unsigned int key);

    std::vector<const VqNode*> _vpNodes;
    mutable unsigned int _uKey = 0;
};
