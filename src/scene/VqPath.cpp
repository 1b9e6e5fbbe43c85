#include "VqPath.h"

#include "VqAttribute.h"
#include "VqErrorState.h"
#include "VqNode.h"
#include "VqPathQual.h"

#include <algorithm>

VqPath::VqPath(const VqNode* tail, unsigned int key) {
    setPath(tail, key);
}

int VqPath::cLog2(int n) {
    int bits = 0;
    while (n > 1 && (1 << bits) < n)
        ++bits;
    return bits;
}

bool VqPath::conforms(unsigned int a, unsigned int b) {
    if (b == 0) return false;
    const int n = 31 - __builtin_clz(b);
    const unsigned int mask = n == 0 ? 0u : ((1u << n) - 1u);
    return (a & mask) == (b & mask);
}

// Shifts in the link index; a key whose marker bit would leave the word is
// refused, so that two instances never share a key.
bool VqPath::_shiftIn(unsigned int& key, int parents, int linkIndex) {
    const int nBits = cLog2(parents);
    if (nBits == 0) return true;
    if ((key >> (32 - nBits)) != 0)
        VQ_FAIL("VqPath", "addChildBitsToBitVec", "(uPBVec >> (32 - nBits)) == 0", VQ_ERR_INTERNAL);
    key = (key << nBits) | static_cast<unsigned int>(linkIndex);
    return true;
}

bool VqPath::addChildBitsToBitVec(unsigned int& key, const VqNode* parent, const VqNode* child) {
    VQ_CHECK(parent != nullptr && child != nullptr, "VqPath", "addChildBitsToBitVec", VQ_ERR_ARGUMENT);
    const int nParents = child->numParents();
    if (nParents < 2) return true;
    const int iParNum = child->findParent(parent);
    if (!(iParNum >= 0)) VQ_FAIL("VqPath", "addChildBitsToBitVec", "iParNum >= 0", VQ_ERR_INTERNAL);
    return _shiftIn(key, nParents, iParNum);
}

// The k-th time a group holds a child corresponds to the k-th link to the
// group in the child's parent list.
bool VqPath::addChildBitsToBitVec(unsigned int& key, const VqNode* parent, int childIndex) {
    VQ_CHECK(parent != nullptr, "VqPath", "addChildBitsToBitVec", VQ_ERR_ARGUMENT);
    VqNode* const* list = nullptr;
    unsigned int count = 0;
    parent->children(list, count, false);
    if (!(childIndex >= 0 && static_cast<unsigned int>(childIndex) < count))
        VQ_FAIL("VqPath", "addChildBitsToBitVec", "childIndex >= 0 && VqUInt32(childIndex) < numChildren()",
                VQ_ERR_ARGUMENT);
    const VqNode* child = list[childIndex];
    const int nParents = child->numParents();
    if (nParents < 2) return true;
    int occurrence = 0;
    for (int i = 0; i < childIndex; ++i)
        if (list[i] == child) ++occurrence;
    int iParNum = -1;
    for (int j = 0; j < nParents; ++j)
        if (child->parent(j) == parent && occurrence-- == 0) {
            iParNum = j;
            break;
        }
    if (!(iParNum >= 0)) VQ_FAIL("VqPath", "addChildBitsToBitVec", "iParNum >= 0", VQ_ERR_INTERNAL);
    return _shiftIn(key, nParents, iParNum);
}

bool VqPath::getParentFromBitVec(unsigned int& key, const VqNode* node, VqNode*& parent) {
    parent = nullptr;
    VQ_CHECK(node != nullptr, "VqPath", "getParentFromBitVec", VQ_ERR_ARGUMENT);
    const int nParents = node->numParents();
    if (nParents == 0) return true;
    if (nParents == 1) {
        parent = node->parent(0);
        return true;
    }
    if (key <= 1) return true;
    const int nBits = cLog2(nParents);
    const unsigned int iParent = key & ((1u << nBits) - 1u);
    if (!(iParent < static_cast<unsigned int>(nParents)))
        VQ_FAIL("VqPath", "getParentFromBitVec", "iParent < nParents", VQ_ERR_INTERNAL);
    key >>= nBits;
    parent = node->parent(static_cast<int>(iParent));
    return true;
}

bool VqPath::setPath(const VqNode* tail, unsigned int key) {
    clear();
    if (!tail) VQ_FAIL("VqPath", "setPath", "pTailNode", VQ_ERR_INTERNAL);
    switch (_decodeSteps(tail, key)) {
    case Decoded::Ok:
        return true;
    case Decoded::BadParent:
        VQ_FAIL("VqPath", "getParentFromBitVec", "iParent < nParents", VQ_ERR_INTERNAL);
    case Decoded::KeyLeft:
        break;
    }
    VQ_FAIL("VqPath", "setPath", "uPBVec == 1", VQ_ERR_ARGUMENT);
}

bool VqPath::_decode(const VqNode* tail, unsigned int key) {
    clear();
    return tail && _decodeSteps(tail, key) == Decoded::Ok;
}

// Up from the tail: a node without parents ends the walk, one with a single
// parent goes on to it, one with several takes the parent that the key's low
// bits name, until the key is down to its marker bit.
VqPath::Decoded VqPath::_decodeSteps(const VqNode* tail, unsigned int key) {
    unsigned int uPBVec = key;
    const VqNode* cur = tail;
    _vpNodes.push_back(cur);
    for (;;) {
        const int nParents = cur->numParents();
        if (nParents == 0 || (nParents > 1 && uPBVec <= 1)) break;
        int iParent = 0;
        if (nParents > 1) {
            const int nBits = cLog2(nParents);
            iParent = static_cast<int>(uPBVec & ((1u << nBits) - 1u));
            if (iParent >= nParents) {
                clear();
                return Decoded::BadParent;
            }
            uPBVec >>= nBits;
        }
        cur = cur->parent(iParent);
        _vpNodes.push_back(cur);
    }
    if (uPBVec != 1) {
        clear();
        return Decoded::KeyLeft;
    }
    std::reverse(_vpNodes.begin(), _vpNodes.end());
    _uKey = key;
    return Decoded::Ok;
}

bool VqPath::append(const VqNode* node) {
    VQ_CHECK(node != nullptr, "VqPath", "append", VQ_ERR_ARGUMENT);
    if (_vpNodes.empty()) {
        _vpNodes.push_back(node);
        _uKey = 1;
        return true;
    }
    const VqNode* prev = _vpNodes.back();
    _vpNodes.push_back(node);
    if (!_uKey) return true;
    const int iParNum = node->findParent(prev);
    if (iParNum < 0) {
        _uKey = 0;
        return true;
    }
    const int nParents = node->numParents();
    const int nBits = cLog2(nParents);
    // A key that would overflow is left to getPathBitVec to report.
    if (nBits && (_uKey >> (32 - nBits)) != 0) {
        _uKey = 0;
        return true;
    }
    if (nBits) _uKey = (_uKey << nBits) | static_cast<unsigned int>(iParNum);
    return true;
}

bool VqPath::append(const VqPath& path) {
    for (const VqNode* n : path._vpNodes)
        VQ_PROPAGATE(append(n));
    return true;
}

void VqPath::pop() {
    if (_vpNodes.empty()) return;
    _vpNodes.pop_back();
    _uKey = 0;
}

void VqPath::clear() {
    _vpNodes.clear();
    _uKey = 0;
}

void VqPath::reverse() {
    std::reverse(_vpNodes.begin(), _vpNodes.end());
    _uKey = 0;
}

int VqPath::findNode(const VqNode* node) const {
    for (size_t i = 0; i < _vpNodes.size(); ++i)
        if (_vpNodes[i] == node) return static_cast<int>(i);
    return -1;
}

bool VqPath::compare(const VqPath& other) const {
    if (_vpNodes.size() > other._vpNodes.size()) return false;
    return std::equal(_vpNodes.begin(), _vpNodes.end(), other._vpNodes.begin());
}

bool VqPath::isValidHeadNode(const VqNode* node) const {
    if (_vpNodes.empty() || _vpNodes.front() != node) return false;
    // Each node is looked at only once it is known to be a child of a live one.
    for (size_t i = 1; i < _vpNodes.size(); ++i)
        if (_vpNodes[i - 1]->findChild(_vpNodes[i]) < 0) return false;
    return true;
}

bool VqPath::isValidTailNode(const VqNode* node) const {
    if (_vpNodes.empty() || _vpNodes.back() != node) return false;
    // Upwards: a node in a live node's parent list is alive.
    for (size_t i = _vpNodes.size() - 1; i > 0; --i)
        if (_vpNodes[i]->findParent(_vpNodes[i - 1]) < 0) return false;
    return true;
}

bool VqPath::getPathBitVec(unsigned int& key) const {
    if (_uKey) {
        key = _uKey;
        return true;
    }
    const size_t n = _vpNodes.size();
    if (!(n > 0)) VQ_FAIL("VqPath", "getPathBitVec", "n > 0", VQ_ERR_INTERNAL);
    unsigned int uPBVec = 1;
    for (size_t i = 1; i < n; ++i) {
        const int iParNum = _vpNodes[i]->findParent(_vpNodes[i - 1]);
        if (!(iParNum >= 0)) VQ_FAIL("VqPath", "getPathBitVec", "iParNum >= 0", VQ_ERR_INTERNAL);
        VQ_PROPAGATE(_shiftIn(uPBVec, _vpNodes[i]->numParents(), iParNum));
    }
    _uKey = uPBVec;
    key = uPBVec;
    return true;
}

bool VqPath::update() {
    _uKey = 0;
    unsigned int key = 0;
    return getPathBitVec(key);
}

namespace {
// Calls take(attribute) for each attribute of the node at index i of path
// that applies there.
template <class Take>
void forApplying(const VqPath& path, int i, Take&& take) {
    VqAttribute* const* list = nullptr;
    VqPathQual* const* quals = nullptr;
    int count = 0;
    path[i]->attributes(list, quals, count);
    for (int a = 0; a < count; ++a)
        if (!quals[a] || quals[a]->isValid(path, i)) take(list[a]);
}
} // namespace

void VqPath::collectAttributes(VqVec<VqAttribute*>& out) const {
    for (int i = 0; i < length(); ++i)
        forApplying(*this, i, [&](VqAttribute* a) { out.push_back(a); });
}

bool VqPath::accumLGAttr(VqAttrDataHdl& data, int from, int to) const {
    VQ_CHECK(from >= 0 && from <= to && to < length(), "VqPath", "accumLGAttr", VQ_ERR_ARGUMENT);
    if (!data) data = new VqAttrData();
    if (!data) VQ_FAIL("VqPath", "accumLGAttr", "Allocation failed: data = new VqAttrData()", VQ_ERR_ALLOC);
    data->clear();
    for (int i = from; i <= to; ++i)
        forApplying(*this, i, [&](const VqAttribute* a) { data->append(a); });
    return true;
}

bool VqPath::accumulateTransforms(VqSquareMatrix<double, 4>& m, int from, int to) const {
    VQ_CHECK(from >= 0 && from <= to && to < length(), "VqPath", "accumulateTransforms", VQ_ERR_ARGUMENT);
    VqAttribute::Placement above;
    for (int i = 0; i < from; ++i)
        forApplying(*this, i, [&](const VqAttribute* a) { above.offer(*a); });
    VqAttribute::Placement p = above.below();
    for (int i = from; i <= to; ++i)
        forApplying(*this, i, [&](const VqAttribute* a) { p.offer(*a); });
    m = p.matrix;
    return true;
}

bool VqPath::accumulateTransforms(VqSquareMatrix<float, 4>& m, int from, int to) const {
    VqSquareMatrix<double, 4> d;
    VQ_PROPAGATE(accumulateTransforms(d, from, to));
    m = VqSquareMatrix<float, 4>(d);
    return true;
}

bool VqPathQual::isValid(const VqPath* path) const {
    return path && path->length() > 0 && isValid(*path, path->length() - 1);
}

bool VqPathQual::isValid(const VqPath& path, int tail) const {
    const int n = _path.length();
    if (n == 0 || tail < 0 || tail >= path.length() || n > tail + 1) return false;
    for (int i = 0; i < n; ++i)
        if (_path[i] != path[tail + 1 - n + i]) return false;
    return true;
}
