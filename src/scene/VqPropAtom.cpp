#include "VqPropAtom.h"

#include "VqErrorState.h"
#include "VqFactory.h"

VQ_IMPLEMENT_ABSTRACT_TYPE(VqPropAtom, VqBase, CLSID_ZQPropAtom)

bool VqPropAtom::clone(VqPropAtom*& out) const {
    VqBase* copy = nullptr;
    VQ_PROPAGATE(_clone(copy));
    out = static_cast<VqPropAtom*>(copy);
    return true;
}

bool VqPropAtom::_writeFields(VqObjectStream& os, const Vq::RecordFormat& fmt) const {
    if (fmt.generation() == 0) VQ_PROPAGATE(_writeOwnId(os));
    return os.write(static_cast<unsigned int>(_uState & VQ_PROPATOM_FILE_BITS));
}

bool VqPropAtom::_readFields(VqObjectStream& os, const Vq::RecordFormat& fmt, int localVersion) {
    if (fmt.generation() == 0) VQ_PROPAGATE(_readOwnId(os));
    if (fmt.generation() == 10 && localVersion == 1) {
        _setStateFromFile(_uState & VQ_PROPATOM_FILE_BITS);
        _uState |= VQ_PROPATOM_OLD_LAYOUT;
        return true;
    }
    unsigned int word = 0;
    VQ_PROPAGATE(os.read(&word));
    _setStateFromFile(word);
    _uState &= ~VQ_PROPATOM_OLD_LAYOUT;
    return true;
}
