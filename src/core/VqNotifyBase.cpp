#include "VqNotifyBase.h"

#include "VqErrorState.h"
#include "VqFactory.h"

#include <algorithm>

VQ_IMPLEMENT_TYPE(VqNotifyBase, VqBase, CLSID_ZQNotifyBase)

namespace {

// Below this many clients a search is cheaper than keeping an index.
constexpr size_t kNotifyIndexFrom = 64;

} // namespace

bool VqNotifyBase::sendNotification(const VqBase* who, Vq::BaseChange change) const {
    if (!who) {
        VqErrorState::throwStdError("VqNotifyBase", "sendNotification", "pWhoChanged != __null",
                                    VQ_ERR_INTERNAL);
        return false;
    }
    if (change == Vq::BaseChangeNone) return true;
    // Clients may remove themselves or others, or register new ones, while
    // being told: removal leaves a null in place and registration appends, so
    // indices stay valid and everyone registered when reached is told once.
    struct Walk {
        const VqNotifyBase* self;
        explicit Walk(const VqNotifyBase* s) : self(s) { ++self->_nNotifyWalks; }
        ~Walk() {
            if (--self->_nNotifyWalks == 0 && self->_nNotifyHoles) self->_compactNotifyList();
        }
    } walk(this);
    for (size_t i = 0; i < _vpNotifyList.size(); ++i) {
        const VqNotifyBase* client = _vpNotifyList[i];
        if (!client) continue;
        if (!client->receiveNotification(who, change)) {
            VqErrorState::rethrowError();
            return false;
        }
    }
    return true;
}

bool VqNotifyBase::receiveNotification(const VqBase*, Vq::BaseChange) const {
    return true;
}

bool VqNotifyBase::addNotification(const VqNotifyBase* client) const {
    if (!client) {
        VqErrorState::throwStdError("VqNotifyBase", "addNotification", "pClient != __null", VQ_ERR_ARGUMENT);
        return false;
    }
    if (_pNotifyIndex) {
        if (!_pNotifyIndex->emplace(client, _vpNotifyList.size()).second) return true;
        _vpNotifyList.push_back(client);
        return true;
    }
    if (std::find(_vpNotifyList.begin(), _vpNotifyList.end(), client) != _vpNotifyList.end()) return true;
    _vpNotifyList.push_back(client);
    if (_vpNotifyList.size() >= kNotifyIndexFrom) {
        _pNotifyIndex = std::make_unique<std::unordered_map<const VqNotifyBase*, size_t>>();
        _pNotifyIndex->reserve(_vpNotifyList.size() * 2);
        for (size_t i = 0; i < _vpNotifyList.size(); ++i)
            if (_vpNotifyList[i]) _pNotifyIndex->emplace(_vpNotifyList[i], i);
    }
    return true;
}

bool VqNotifyBase::removeNotification(const VqNotifyBase* client) const {
    if (!client) return true;
    size_t i = 0;
    if (_pNotifyIndex) {
        auto it = _pNotifyIndex->find(client);
        if (it == _pNotifyIndex->end()) return true;
        i = it->second;
        _pNotifyIndex->erase(it);
    } else {
        auto it = std::find(_vpNotifyList.begin(), _vpNotifyList.end(), client);
        if (it == _vpNotifyList.end()) return true;
        i = static_cast<size_t>(it - _vpNotifyList.begin());
    }
    _vpNotifyList[i] = nullptr;
    ++_nNotifyHoles;
    // Compacting once the holes are half the list keeps removal amortised
    // constant; the last client leaving frees the list outright.
    if (_nNotifyWalks == 0 && size_t(_nNotifyHoles) * 2 >= _vpNotifyList.size()) _compactNotifyList();
    return true;
}

void VqNotifyBase::notificationList(const VqNotifyBase* const*& list, unsigned int& count) const {
    if (_nNotifyWalks == 0 && _nNotifyHoles) _compactNotifyList();
    list = _vpNotifyList.data();
    count = static_cast<unsigned int>(_vpNotifyList.size());
}

void VqNotifyBase::_compactNotifyList() const {
    _vpNotifyList.erase(std::remove(_vpNotifyList.begin(), _vpNotifyList.end(), nullptr),
                        _vpNotifyList.end());
    _nNotifyHoles = 0;
    if (_vpNotifyList.empty()) {
        std::vector<const VqNotifyBase*>().swap(_vpNotifyList);
        _pNotifyIndex.reset();
        return;
    }
    if (_pNotifyIndex) {
        if (_vpNotifyList.size() < kNotifyIndexFrom / 2) {
            _pNotifyIndex.reset();
        } else {
            for (size_t i = 0; i < _vpNotifyList.size(); ++i)
                (*_pNotifyIndex)[_vpNotifyList[i]] = i;
        }
    }
}
