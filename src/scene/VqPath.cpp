#include "VqPath.h"

#include "VqAttribute.h"
#include "VqErrorState.h"
#include "VqNode.h"
#include "VqXform.h"

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
    unsigned int uPBVec = key;
    const VqNode* cur = tail;
    _vpNodes.push_back(cur);
    for (;;) {
        VqNode* parent = nullptr;
        if (!getParentFromBitVec(uPBVec, cur, parent)) {
            clear();
            VqErrorState::rethrowError();
            return false;
        }
        if (!parent) break;
        _vpNodes.push_back(parent);
        cur = parent;
    }
    if (!(uPBVec == 1)) {
        clear();
        VQ_FAIL("VqPath", "setPath", "uPBVec == 1", VQ_ERR_ARGUMENT);
    }
    std::reverse(_vpNodes.begin(), _vpNodes.end());
    _uKey = key;
    return true;
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

namespace {
bool isRawChild(const VqNode* parent, const VqNode* child) {
    return parent->findChild(child) >= 0;
}
} // namespace

bool VqPath::isValidHeadNode(const VqNode* node) const {
    if (_vpNodes.empty() || _vpNodes.front() != node) return false;
    for (size_t i = 1; i < _vpNodes.size(); ++i)
        if (!isRawChild(_vpNodes[i - 1], _vpNodes[i])) return false;
    return true;
}

bool VqPath::isValidTailNode(const VqNode* node) const {
    if (_vpNodes.empty() || _vpNodes.back() != node) return false;
    for (size_t i = 1; i < _vpNodes.size(); ++i)
        if (!isRawChild(_vpNodes[i - 1], _vpNodes[i])) return false;
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

void VqPath::collectAttributes(VqVec<VqAttribute*>& out) const {
    for (const VqNode* n : _vpNodes) {
        VqAttribute* const* list = nullptr;
        int count = 0;
        n->attributes(list, count);
        out.insert(out.end(), list, list + count);
    }
}

bool VqPath::accumulateTransforms(VqSquareMatrix<double, 4>& m, int from, int to) const {
    VQ_CHECK(from >= 0 && from <= to && to < length(), "VqPath", "accumulateTransforms", VQ_ERR_ARGUMENT);
    m.makeIdentity();
    for (int i = from; i <= to; ++i) {
        VqAttribute* const* list = nullptr;
        int count = 0;
        _vpNodes[size_t(i)]->attributes(list, count);
        for (int a = 0; a < count; ++a) {
            const VqXform* xf = Vq::typeCast<VqXform>(list[a]);
            if (xf && !xf->isIgnored()) m = xf->matrix() * m;
        }
    }
    return true;
}

bool VqPath::accumulateTransforms(VqSquareMatrix<float, 4>& m, int from, int to) const {
    VqSquareMatrix<double, 4> d;
    VQ_PROPAGATE(accumulateTransforms(d, from, to));
    m = VqSquareMatrix<float, 4>(d);
    return true;
}

bool VqPathQual::isValid(const VqPath* path) const {
    if (!path) return false;
    const int n = _path.length(), m = path->length();
    if (n == 0 || n > m) return false;
    for (int i = 0; i < n; ++i)
        if (_path[i] != (*path)[m - n + i]) return false;
    return true;
}
