#include "VqStringPropAtom.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqMutex.h"
#include "VqStdException.h"

#include <ostream>
#include <unordered_map>

VQ_IMPLEMENT_TYPE(VqStringPropAtom, VqPropAtom, CLSID_ZQStringPropAtom)

namespace {
struct StringHash {
    size_t operator()(const VqString& s) const { return s.hash(); }
};
typedef std::unordered_map<VqString, VqStringPropAtom::InternEntry, StringHash> InternTable;

// Created by init(); kept past fini() while atoms still hold entries.
InternTable* s_pStringTable = nullptr;
VqMutex* s_pStringMutex = nullptr;
} // namespace

bool VqStringPropAtom::init() {
    if (!s_pStringMutex) s_pStringMutex = new VqMutex();
    if (!s_pStringTable) s_pStringTable = new InternTable();
    return true;
}

void VqStringPropAtom::fini() {
    if (!s_pStringTable) return;
    {
        VqAutoLock lock(*s_pStringMutex);
        if (!s_pStringTable->empty()) return;
        delete s_pStringTable;
        s_pStringTable = nullptr;
    }
    delete s_pStringMutex;
    s_pStringMutex = nullptr;
}

int VqStringPropAtom::getInternTableSize() {
    if (!s_pStringTable) VQ_THROW("s_pStringTable", VQ_ERR_INTERNAL);
    VqAutoLock lock(*s_pStringMutex);
    return static_cast<int>(s_pStringTable->size());
}

int VqStringPropAtom::getInternRefCount(const VqString& text) {
    if (!s_pStringTable) VQ_THROW("s_pStringTable", VQ_ERR_INTERNAL);
    VqAutoLock lock(*s_pStringMutex);
    auto it = s_pStringTable->find(text);
    return it == s_pStringTable->end() ? 0 : it->second.nUses.load();
}

VqStringPropAtom::InternEntry* VqStringPropAtom::_intern(const VqString& text) {
    if (!s_pStringTable) VQ_THROW("s_pStringTable", VQ_ERR_INTERNAL);
    VqAutoLock lock(*s_pStringMutex);
    auto [it, added] = s_pStringTable->try_emplace(text);
    InternEntry& e = it->second;
    if (added) {
        e.pText = &it->first;
        e.uHash = text.hash();
    }
    e.nUses.fetch_add(1);
    return &e;
}

void VqStringPropAtom::_release(InternEntry* entry) {
    if (!entry) return;
    VqAutoLock lock(*s_pStringMutex);
    if (entry->nUses.fetch_sub(1) == 1) s_pStringTable->erase(*entry->pText);
}

VqStringPropAtom::VqStringPropAtom(const VqString& value) {
    _pEntry = _intern(value);
}

VqStringPropAtom::VqStringPropAtom(const char* value) {
    _pEntry = _intern(VqString(value));
}

VqStringPropAtom::VqStringPropAtom(const VqStringPropAtom& o) : Record(o), _pEntry(o._pEntry) {
    // The original holds a use, so the entry cannot go away meanwhile.
    if (_pEntry) _pEntry->nUses.fetch_add(1);
}

VqStringPropAtom& VqStringPropAtom::operator=(const VqStringPropAtom& o) {
    if (this == &o) return *this;
    VqPropAtom::operator=(o);
    if (o._pEntry) o._pEntry->nUses.fetch_add(1);
    _release(_pEntry);
    _pEntry = o._pEntry;
    return *this;
}

VqStringPropAtom::~VqStringPropAtom() {
    _release(_pEntry);
}

const VqString& VqStringPropAtom::value() const {
    if (!_pEntry) VQ_THROW("_sIter.valid()", VQ_ERR_INTERNAL);
    return *_pEntry->pText;
}

bool VqStringPropAtom::setValue(const VqString& value) {
    try {
        InternEntry* e = _intern(value);
        _release(_pEntry);
        _pEntry = e;
        return true;
    } catch (...) {
        return VqErrorState::recordCurrentException("VqStringPropAtom", "setValue");
    }
}

uint32_t VqStringPropAtom::hash() const {
    return _pEntry ? _pEntry->uHash : 0;
}

bool VqStringPropAtom::isEqualHook(const VqPropAtom& o) const {
    return _pEntry == static_cast<const VqStringPropAtom&>(o)._pEntry;
}

void VqStringPropAtom::write(std::ostream& os) const {
    if (_pEntry) os << *_pEntry->pText;
}

void VqStringPropAtom::_leakReportDetail(std::ostream& os) const {
    os << " String: ";
    write(os);
}

bool VqStringPropAtom::_writeFields(VqObjectStream& os, const Vq::RecordFormat&) const {
    return os.write(_pEntry ? *_pEntry->pText : VqString());
}

bool VqStringPropAtom::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion) {
    if (fmt.generation() == 10) {
        if (_uState & VQ_PROPATOM_OLD_LAYOUT) {
            unsigned char u8 = 0;
            unsigned int u32 = 0;
            short lv = 0;
            VQ_PROPAGATE(os.read(&u8));
            VQ_PROPAGATE(os.read(&u32));
            VQ_PROPAGATE(os.read(&lv));
            if (lv != 1)
                VQ_FAIL("VqStringPropAtom", "_deserializeVQ100virtual", "iLocalVers == 1", VQ_ERR_INTERNAL);
        } else if (localVersion < 2) {
            VQ_FAIL("VqStringPropAtom", "_deserializeVQ100virtual", "iLocalVers >= 2", VQ_ERR_INTERNAL);
        }
    }
    VqString s;
    VQ_PROPAGATE(os.read(s));
    return setValue(s);
}
