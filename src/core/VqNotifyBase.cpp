#include "VqNotifyBase.h"

#include "VqErrorState.h"
#include "VqFactory.h"

#include <algorithm>

VQ_IMPLEMENT_TYPE(VqNotifyBase, VqBase, CLSID_ZQNotifyBase)

bool VqNotifyBase::sendNotification(const VqBase* who, Vq::BaseChange change) const {
    if (!who) {
        VqErrorState::throwStdError("VqNotifyBase", "sendNotification", "pWhoChanged != __null",
                                    VQ_ERR_INTERNAL);
        return false;
    }
    if (change == Vq::BaseChangeNone) return true;
    // A client may remove itself (or others) while being told; step back when
    // the list shrank so that the client moved into this place is not skipped.
    for (size_t i = 0; i < _vpNotifyList.size(); ++i) {
        size_t before = _vpNotifyList.size();
        if (!_vpNotifyList[i]->receiveNotification(who, change)) {
            VqErrorState::rethrowError();
            return false;
        }
        if (_vpNotifyList.size() < before) {
            if (i == 0) {
                // Restart the walk at index 0 on the next round.
                i = static_cast<size_t>(-1);
            } else {
                --i;
            }
        }
    }
    return true;
}

bool VqNotifyBase::receiveNotification(const VqBase*, Vq::BaseChange) const { return true; }

bool VqNotifyBase::addNotification(const VqNotifyBase* client) const {
    if (!client) {
        VqErrorState::throwStdError("VqNotifyBase", "addNotification", "pClient != __null", VQ_ERR_ARGUMENT);
        return false;
    }
    if (std::find(_vpNotifyList.begin(), _vpNotifyList.end(), client) == _vpNotifyList.end())
        _vpNotifyList.push_back(client);
    return true;
}

bool VqNotifyBase::removeNotification(const VqNotifyBase* client) const {
    auto it = std::find(_vpNotifyList.begin(), _vpNotifyList.end(), client);
    if (it != _vpNotifyList.end()) _vpNotifyList.erase(it);
    return true;
}
