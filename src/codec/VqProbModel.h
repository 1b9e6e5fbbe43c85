#pragma once

#include "VqExport.h"
#include "VqProbContext.h"
#include "VqVec.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class VqBaseDataStream;

// The probability model of a version-1 packet: up to 255 contexts. Context 0
// holds the values that have a table entry, each under a symbol, and an
// escape for the others, which then travel out of band. The other contexts
// hold entries that name context-0 symbols (their values are context 0's);
// each entry names the context that codes the next symbol, so a model may
// code a symbol depending on the one before (see VqPartialOrder1ProbModel).
//
// Stored form: a uint8 context count, then per context, as bit fields: a
// 32-bit entry count; for context 0 6-bit widths of the symbol, count, value
// and next-context fields and the 32-bit minimum value; for the others the
// symbol, count and next-context widths; per entry symbol + 2, count, value
// - minimum (context 0 only) and next-context index. One padding to a byte
// after all contexts. A zero width leaves its field out (it reads as 0).
//
// A symbol stream lists, per coded symbol, the index of its entry in the
// current context; it starts in context 0 and continues in the context the
// entry names. An escape in context 0 stands for the next out-of-band value;
// one in another context codes nothing, the value following in the context
// it names.
template <class T>
class VQ_API VqProbModel {
public:
    static constexpr int cMaxContexts = 255;
    // Table entries the writer gives context 0 at most.
    static constexpr int cMaxTableEntries = 8190;
    // Entries a reader accepts per context and in all contexts together.
    static constexpr int cMaxReadEntries = 1 << 16;
    static constexpr int cMaxReadEntriesTotal = 1 << 17;

    VqProbModel() = default;
    virtual ~VqProbModel() = default;

    int numContexts() const { return static_cast<int>(_vCntx.size()); }
    const VqProbContext<T>& context(int i) const { return _vCntx[static_cast<size_t>(i)]; }
    VqProbContext<T>& context(int i) { return _vCntx[static_cast<size_t>(i)]; }
    void clear() { _vCntx.clear(); }

    // Writing: builds the model for values. Without bForce the model is left
    // without contexts when it would not beat estimateWithout bits, the
    // size the caller has without a model.
    virtual bool build(const T* values, int n, bool bForce, double estimateWithout);
    // Estimated bits of the symbols, the table and the out-of-band values of
    // the last build.
    double estimatedBits() const { return _dEstimate; }

    // The symbol stream of values under the model (reserved to n + n / 8,
    // which the escapes of higher contexts seldom exceed) and the values
    // that go out of band.
    bool symbolize(const T* values, int n, VqVeci& symbols, VqVec<T>& oobValues);

    bool serialize(VqBaseDataStream& stream, uint64_t& nBytes) const;
    // Reads a model and checks that it can drive a decoder: next-context
    // indices within the model, higher-context symbols present in context 0,
    // each context-0 symbol once. Cumulative counts are accumulated.
    bool deserialize(VqBaseDataStream& stream);

    size_t memSize() const;

protected:
    // Context 0 from the values' counts; the estimate of coding with it.
    bool _buildOrder0(const T* values, int n, bool bForce);
    // Code size of the counts in cntx (true counts) under its stored counts.
    static double _codeBits(const VqProbContext<T>& cntx, const std::vector<uint32_t>& trueCounts);
    // Sets every entry's next context from the symbol it codes.
    void _linkContexts();

    std::vector<VqProbContext<T>> _vCntx;
    // Context index per context-0 symbol (0 when it has none).
    std::vector<int> _vCntxOfSymbol;
    double _dEstimate = 0;
    // Writer scratch, kept between arrays.
    std::vector<T> _vSorted;
    std::vector<std::pair<uint32_t, T>> _vCounts;
    std::vector<uint32_t> _vTrue;
    // Reader scratch: context 0's (symbol, value) pairs.
    std::vector<std::pair<int32_t, T>> _vSymbolValues;
};

// A model with context 0 and a context per frequent symbol that codes the
// symbol after it, where the saving beats the table's cost.
template <class T>
class VQ_API VqPartialOrder1ProbModel : public VqProbModel<T> {
public:
    bool build(const T* values, int n, bool bForce, double estimateWithout) override;

private:
    std::vector<uint64_t> _vPairs;
};

extern template class VqProbModel<int>;
extern template class VqPartialOrder1ProbModel<int>;
