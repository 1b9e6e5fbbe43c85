#include "VqPropAtom.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqLocalVersion.h"

VQ_IMPLEMENT_ABSTRACT_TYPE(VqPropAtom, VqBase, CLSID_ZQPropAtom)

bool VqPropAtom::clone(VqPropAtom*& out) const {
    VqBase* copy = nullptr;
    VQ_PROPAGATE(_clone(copy));
    out = static_cast<VqPropAtom*>(copy);
    return true;
}

bool VqPropAtom::_serializeVQvirtual(VqObjectStream& os) const {
    VQ_PROPAGATE(Vq::writeOwnId(os, this));
    return os.write(static_cast<unsigned int>(_uState & VQ_PROPATOM_FILE_BITS));
}

bool VqPropAtom::_serializeVQ90virtual(VqObjectStream& os) const {
    VQ_PROPAGATE(Vq::writeLocalVersion9(os, 1));
    return os.write(static_cast<unsigned int>(_uState & VQ_PROPATOM_FILE_BITS));
}

bool VqPropAtom::_serializeVQ100virtual(VqObjectStream& os) const {
    VQ_PROPAGATE(Vq::writeLocalVersion10(os, 2));
    return os.write(static_cast<unsigned int>(_uState & VQ_PROPATOM_FILE_BITS));
}

bool VqPropAtom::_deserializeVQvirtual(VqObjectStream& os) {
    VQ_PROPAGATE(Vq::readOwnId(os, this));
    unsigned int word = 0;
    VQ_PROPAGATE(os.read(&word));
    _setStateFromFile(word);
    return true;
}

bool VqPropAtom::_deserializeVQ90virtual(VqObjectStream& os) {
    int lv = 0;
    VQ_PROPAGATE(Vq::readLocalVersion9(os, lv, "VqPropAtom", "_deserializeVQ90virtual"));
    unsigned int word = 0;
    VQ_PROPAGATE(os.read(&word));
    _setStateFromFile(word);
    return true;
}

bool VqPropAtom::_deserializeVQ100virtual(VqObjectStream& os) {
    int lv = 0;
    VQ_PROPAGATE(Vq::readLocalVersion10(os, lv, "VqPropAtom", "_deserializeVQ100virtual"));
    if (lv == 1) {
        // The older layout has no fields at this level; the derived level
        // that follows is laid out the older way too.
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
