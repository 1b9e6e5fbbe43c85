#pragma once

#include "VqBase.h"
#include "VqExport.h"

#include <cstdint>
#include <memory>
#include <unordered_map>
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

    // The clients in the order they registered. While a notification is under
    // way the list may hold nulls where clients removed themselves.
    void notificationList(const VqNotifyBase* const*& list, unsigned int& count) const;

private:
    void _compactNotifyList() const;

    // A removed client leaves a null until no notification is under way, so
    // that a walk keeps its place and removal costs no shift of the rest.
    mutable std::vector<const VqNotifyBase*> _vpNotifyList;
    // Where each client sits, once the list is long enough for searching it to
    // dominate: an attribute shared by a million nodes is registered with and
    // left by each of them.
    mutable std::unique_ptr<std::unordered_map<const VqNotifyBase*, size_t>> _pNotifyIndex;
    mutable uint32_t _nNotifyHoles = 0;
    mutable uint32_t _nNotifyWalks = 0;
};
