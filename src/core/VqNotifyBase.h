#pragma once

#include "VqBase.h"
#include "VqExport.h"

#include <vector>

// A VqBase that tells registered clients when it changes. Clients are not
// counted: a client removes itself before it dies.
class VQ_API VqNotifyBase : public VqBase {
    VQ_DECLARE_TYPE(VqNotifyBase)
public:
    VqNotifyBase() = default;
    // A copy starts with no clients of its own.
    VqNotifyBase(const VqNotifyBase& o) : VqBase(o) {}
    VqNotifyBase& operator=(const VqNotifyBase&) { return *this; }

    virtual bool sendNotification(const VqBase* who, Vq::BaseChange change) const;
    virtual bool receiveNotification(const VqBase* who, Vq::BaseChange change) const;
    virtual bool addNotification(const VqNotifyBase* client) const;
    virtual bool removeNotification(const VqNotifyBase* client) const;

    void notificationList(const VqNotifyBase* const*& list, unsigned int& count) const {
        list = _vpNotifyList.data();
        count = static_cast<unsigned int>(_vpNotifyList.size());
    }

private:
    mutable std::vector<const VqNotifyBase*> _vpNotifyList;
};
