#pragma once

#include "VqExport.h"
#include "VqPropAtom.h"
#include "VqString.h"

#include <atomic>

// A string atom. Every value is interned in one process-wide table, so that
// two atoms with equal text share one entry and compare by identity.
class VQ_API VqStringPropAtom : public Vq::Record<VqStringPropAtom, VqPropAtom> {
    VQ_DECLARE_TYPE(VqStringPropAtom)
public:
    // One interned text with its use count.
    struct InternEntry {
        const VqString* pText = nullptr; // the table's key
        uint32_t uHash = 0;
        std::atomic<int32_t> nUses{0};
    };

    // An atom without a value until one is set or read.
    VqStringPropAtom() = default;
    // Interning throws "s_pStringTable" (code 5) before init().
    explicit VqStringPropAtom(const VqString& value);
    explicit VqStringPropAtom(const char* value);
    VqStringPropAtom(const VqStringPropAtom& o);
    VqStringPropAtom& operator=(const VqStringPropAtom& o);
    ~VqStringPropAtom() override;

    // The text; throws "_sIter.valid()" (code 5) when the atom has no entry.
    const VqString& value() const;
    bool hasValue() const { return _pEntry != nullptr; }
    bool setValue(const VqString& value);

    uint32_t hash() const override;
    bool isEqualHook(const VqPropAtom& o) const override;
    void write(std::ostream& os) const override;
    void _leakReportDetail(std::ostream& os) const override;

    // The text. Format 10 writes it as local version 2; older format-10
    // writers (the atom level of local version 1) put two words and a 16-bit
    // version of 1 before it instead.
    int _localVersion(const Vq::RecordFormat& fmt) const { return fmt.generation() == 10 ? 2 : 1; }
    bool _localVersionIn(const Vq::RecordFormat& fmt) const {
        return fmt.generation() != 0 && !(fmt.generation() == 10 && (_uState & VQ_PROPATOM_OLD_LAYOUT));
    }
    bool _writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const;
    bool _readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion);

    // The intern table lives from init() to fini(); fini() keeps a table that
    // still has entries, so that atoms outliving the library stay valid.
    static bool init();
    static void fini();
    static int getInternTableSize();
    static int getInternRefCount(const VqString& text);

private:
    static InternEntry* _intern(const VqString& text);
    static void _release(InternEntry* entry);

    InternEntry* _pEntry = nullptr;
};
