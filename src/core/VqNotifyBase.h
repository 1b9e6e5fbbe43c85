#pragma once

#include "VqBase.h"
#include "VqExport.h"

#include <atomic>
#include <cstdint>
#include <vector>

// A VqBase that tells registered clients when it changes. Clients are not
// counted: a client removes itself before it dies.
//
// Adding and removing a client take constant time and may happen on several
// threads at once (loader threads attach shared attributes to new nodes).
// Telling the clients is the editing thread's work: a client must not die on
// another thread while a change is being sent to it.
class VQ_API VqNotifyBase : public VqBase {
    VQ_DECLARE_TYPE(VqNotifyBase)
public:
    VqNotifyBase() = default;
    // A copy starts with no clients of its own.
    VqNotifyBase(const VqNotifyBase& o) : VqBase(o) {}
    VqNotifyBase& operator=(const VqNotifyBase&) { return *this; }
    ~VqNotifyBase() override;

    virtual bool sendNotification(const VqBase* who, Vq::BaseChange change) const;
    virtual bool receiveNotification(const VqBase* who, Vq::BaseChange change) const;
    virtual bool addNotification(const VqNotifyBase* client) const;
    virtual bool removeNotification(const VqNotifyBase* client) const;

    // The clients at the time of the call, in the order they were added.
    std::vector<const VqNotifyBase*> notificationClients() const;
    unsigned int numNotificationClients() const;

    // Grows by one with every change this object sends. A holder of derived
    // data compares it with the value it saw instead of registering as a
    // client, which would change the shared object.
    uint32_t changeCount() const { return _nChanges.load(std::memory_order_acquire); }

private:
    struct ClientList;
    ClientList* _clientList(bool create) const;

    mutable std::atomic<ClientList*> _pClients{nullptr};
    mutable std::atomic<uint32_t> _nChanges{0};
};
