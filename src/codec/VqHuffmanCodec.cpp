#include "VqHuffmanCodec.h"

#include "VqCodeTextReader.h"
#include "VqCodeTextWriter.h"

namespace {
const char* const kCls = "VqHuffmanCodec";
} // namespace

void VqHuffmanCodec::_push(int node) {
    _vHeap.push_back(node);
    size_t i = _vHeap.size() - 1;
    while (i > 0) {
        const size_t parent = (i - 1) / 2;
        if (!(_vNodes[static_cast<size_t>(_vHeap[i])]._cCount <
              _vNodes[static_cast<size_t>(_vHeap[parent])]._cCount))
            break;
        std::swap(_vHeap[i], _vHeap[parent]);
        i = parent;
    }
}

int VqHuffmanCodec::_pop() {
    const int top = _vHeap.front();
    _vHeap.front() = _vHeap.back();
    _vHeap.pop_back();
    const auto count = [&](size_t k) { return _vNodes[static_cast<size_t>(_vHeap[k])]._cCount; };
    for (size_t i = 0;;) {
        const size_t left = 2 * i + 1;
        if (left >= _vHeap.size()) break;
        size_t child = left;
        if (left + 1 < _vHeap.size() && count(left + 1) < count(left)) child = left + 1;
        if (count(i) < count(child)) break;
        std::swap(_vHeap[i], _vHeap[child]);
        i = child;
    }
    return top;
}

void VqHuffmanCodec::_buildTree(const VqProbContext<int>& cntx) {
    if (cntx.numEntries() == 0) {
        _vRoots.push_back(-1);
        return;
    }
    _vHeap.clear();
    for (int i = 0; i < cntx.numEntries(); ++i) {
        VqHuffTreeNode leaf;
        leaf._cCount = static_cast<uint64_t>(cntx.entry(i)._cCount);
        leaf._iEntry = i;
        _vNodes.push_back(leaf);
        _push(static_cast<int>(_vNodes.size() - 1));
    }
    while (_vHeap.size() >= 2) {
        const int a = _pop();
        const int b = _pop();
        VqHuffTreeNode inner;
        inner._cCount = _vNodes[static_cast<size_t>(a)]._cCount + _vNodes[static_cast<size_t>(b)]._cCount;
        inner._iLeft = a;
        inner._iRight = b;
        _vNodes.push_back(inner);
        _push(static_cast<int>(_vNodes.size() - 1));
    }
    _vRoots.push_back(_vHeap.front());
}

void VqHuffmanCodec::buildTrees(const VqProbModel<int>& model) {
    _vNodes.clear();
    _vRoots.clear();
    for (int c = 0; c < model.numContexts(); ++c)
        _buildTree(model.context(c));
}

size_t VqHuffmanCodec::memSize() const {
    return sizeof(*this) + _vNodes.capacity() * sizeof(VqHuffTreeNode) +
           (_vRoots.capacity() + _vHeap.capacity() + _vCodeStart.capacity()) * sizeof(int) +
           _vCodes.capacity() * sizeof(Code) + _vStack.capacity() * sizeof(std::pair<int, Code>);
}

bool VqHuffmanCodec::encode(const int* symbols, int nSymbols, const VqProbModel<int>* pModel,
                            VqVecu& codeText, int64_t& nBits) {
    VQ_CHECK(pModel, kCls, "encode", VQ_ERR_ARGUMENT);
    buildTrees(*pModel);
    // Codes from the roots down. A writer's own model keeps every count
    // at 1 or more and the totals below 2^14, which bounds a code's length
    // far below 64 bits; a deeper tree is refused.
    _vCodes.clear();
    _vCodeStart.clear();
    for (int c = 0; c < pModel->numContexts(); ++c) {
        _vCodeStart.push_back(static_cast<int>(_vCodes.size()));
        _vCodes.resize(_vCodes.size() + static_cast<size_t>(pModel->context(c).numEntries()), Code{0, 0});
        if (_vRoots[static_cast<size_t>(c)] < 0) continue;
        _vStack.clear();
        _vStack.emplace_back(_vRoots[static_cast<size_t>(c)], Code{0, 0});
        while (!_vStack.empty()) {
            const auto [node, code] = _vStack.back();
            _vStack.pop_back();
            const VqHuffTreeNode& n = _vNodes[static_cast<size_t>(node)];
            if (n.isLeaf()) {
                _vCodes[static_cast<size_t>(_vCodeStart.back() + n._iEntry)] = code;
                continue;
            }
            if (code.length >= 64)
                VQ_FAIL(kCls, "encode", "Huffman code longer than 64 bits", VQ_ERR_INTERNAL);
            _vStack.emplace_back(n._iLeft, Code{(code.bits << 1) | 1u, code.length + 1});
            _vStack.emplace_back(n._iRight, Code{code.bits << 1, code.length + 1});
        }
    }
    VqCodeTextWriter out(codeText);
    int cur = 0;
    for (int s = 0; s < nSymbols; ++s) {
        VQ_CHECK(cur < pModel->numContexts(), kCls, "encode", VQ_ERR_INTERNAL);
        const VqProbContext<int>& cntx = pModel->context(cur);
        const int idx = symbols[s];
        VQ_CHECK(idx >= 0 && idx < cntx.numEntries(), kCls, "encode", VQ_ERR_INTERNAL);
        const Code code = _vCodes[static_cast<size_t>(_vCodeStart[static_cast<size_t>(cur)] + idx)];
        if (code.length > 32) out.writeBits(static_cast<uint32_t>(code.bits >> 32), code.length - 32);
        out.writeBits(static_cast<uint32_t>(code.bits), code.length < 32 ? code.length : 32);
        cur = cntx.entry(idx)._iNextCntx;
    }
    out.finish();
    nBits = out.numBits();
    return true;
}

bool VqHuffmanCodec::decode(const uint32_t* codeText, int64_t nBits, int nSymbols, int nValues,
                            const VqProbModel<int>* pModel, const int* oobValues, int nOOBValues,
                            VqVeci& values) {
    VQ_CHECK(pModel, kCls, "decode", VQ_ERR_ARGUMENT);
    buildTrees(*pModel);
    VqCodeTextReader in(codeText, nBits);
    const VqHuffTreeNode* nodes = _vNodes.data();
    const int* roots = _vRoots.data();
    const auto decodeEntry = [&](int cntx) {
        int node = roots[cntx];
        if (node < 0) return -1;
        // Past the end the reader yields zeros, which lead right to a leaf;
        // a tree may be deep, so the end is checked per symbol.
        while (!nodes[node].isLeaf())
            node = in.readBit() ? nodes[node]._iLeft : nodes[node]._iRight;
        return in.overrun() ? -1 : nodes[node]._iEntry;
    };
    const auto checkBits = [&] {
        if (in.overrun()) VQ_FAIL(kCls, "decode", "Code text too short", VQ_ERR_CORRUPT);
        return true;
    };
    VQ_PROPAGATE(_decodeThroughModel(kCls, *pModel, nSymbols, nValues, nBits, oobValues, nOOBValues, values,
                                     decodeEntry, checkBits));
    if (!in.exhausted() || !in.padIsZero())
        VQ_FAIL(kCls, "decode", "Bits left after the last value", VQ_ERR_CORRUPT);
    return true;
}
