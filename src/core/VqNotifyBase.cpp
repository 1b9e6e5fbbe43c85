#include "VqNotifyBase.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqMutex.h"

#include <algorithm>
#include <unordered_map>

VQ_IMPLEMENT_TYPE(VqNotifyBase, VqBase, CLSID_ZQNotifyBase)

// Clients sit in slots in the order they came. A removed client leaves an
// empty slot, so that a walk in progress neither skips nor repeats anyone;
// the slots are compacted once no walk runs and half of them are empty.
// Short lists are searched; from kIndexFrom clients on, an index maps each
// client to its slot (one material may be shared by millions of nodes).
struct VqNotifyBase::ClientList {
    static constexpr size_t kIndexFrom = 16;

    VqMutex mutex;
    std::vector<const VqNotifyBase*> slots;
    std::unordered_map<const VqNotifyBase*, size_t> index;
    size_t live = 0;
    int walkers = 0;

    long find(const VqNotifyBase* c) const {
        if (!index.empty()) {
            auto it = index.find(c);
            return it == index.end() ? -1 : long(it->second);
        }
        auto it = std::find(slots.begin(), slots.end(), c);
        return it == slots.end() ? -1 : long(it - slots.begin());
    }

    void add(const VqNotifyBase* c) {
        if (find(c) >= 0) return;
        slots.push_back(c);
        ++live;
        if (!index.empty()) {
            index.emplace(c, slots.size() - 1);
        } else if (slots.size() >= kIndexFrom) {
            reindex();
        }
    }

    void remove(const VqNotifyBase* c) {
        const long at = find(c);
        if (at < 0) return;
        slots[size_t(at)] = nullptr;
        if (!index.empty()) index.erase(c);
        --live;
        if (walkers == 0) compactIfSparse();
    }

    void compactIfSparse() {
        while (!slots.empty() && !slots.back())
            slots.pop_back();
        if (live * 2 >= slots.size()) return;
        slots.erase(std::remove(slots.begin(), slots.end(), nullptr), slots.end());
        reindex();
    }

    void reindex() {
        index.clear();
        if (slots.size() < kIndexFrom) return;
        index.reserve(slots.size());
        for (size_t i = 0; i < slots.size(); ++i)
            if (slots[i]) index.emplace(slots[i], i);
    }
};

VqNotifyBase::~VqNotifyBase() {
    delete _pClients.load(std::memory_order_acquire);
}

VqNotifyBase::ClientList* VqNotifyBase::_clientList(bool create) const {
    ClientList* list = _pClients.load(std::memory_order_acquire);
    if (list || !create) return list;
    ClientList* fresh = new (std::nothrow) ClientList();
    if (!fresh) return nullptr;
    // Two threads may add the first client at once: one list wins.
    if (_pClients.compare_exchange_strong(list, fresh, std::memory_order_acq_rel)) return fresh;
    delete fresh;
    return list;
}

bool VqNotifyBase::sendNotification(const VqBase* who, Vq::BaseChange change) const {
    if (!who) {
        VqErrorState::throwStdError("VqNotifyBase", "sendNotification", "pWhoChanged != __null",
                                    VQ_ERR_INTERNAL);
        return false;
    }
    if (change == Vq::BaseChangeNone) return true;
    _nChanges.fetch_add(1, std::memory_order_acq_rel);
    ClientList* list = _clientList(false);
    if (!list) return true;
    {
        VqAutoLock lock(list->mutex);
        ++list->walkers;
    }
    // Each slot is read under the lock, and each client is told outside it:
    // a client may add or remove clients here, or send changes of its own.
    bool ok = true;
    for (size_t i = 0; ok; ++i) {
        const VqNotifyBase* client = nullptr;
        {
            VqAutoLock lock(list->mutex);
            if (i >= list->slots.size()) break;
            client = list->slots[i];
        }
        if (client && !client->receiveNotification(who, change)) ok = false;
    }
    {
        VqAutoLock lock(list->mutex);
        if (--list->walkers == 0) list->compactIfSparse();
    }
    if (!ok) VqErrorState::rethrowError();
    return ok;
}

bool VqNotifyBase::receiveNotification(const VqBase*, Vq::BaseChange) const {
    return true;
}

bool VqNotifyBase::addNotification(const VqNotifyBase* client) const {
    if (!client) {
        VqErrorState::throwStdError("VqNotifyBase", "addNotification", "pClient != __null", VQ_ERR_ARGUMENT);
        return false;
    }
    ClientList* list = _clientList(true);
    if (!list) {
        VqErrorState::throwStdError("VqNotifyBase", "addNotification", "Allocation failed: new ClientList()",
                                    VQ_ERR_ALLOC);
        return false;
    }
    VqAutoLock lock(list->mutex);
    list->add(client);
    return true;
}

bool VqNotifyBase::removeNotification(const VqNotifyBase* client) const {
    ClientList* list = _clientList(false);
    if (!list || !client) return true;
    VqAutoLock lock(list->mutex);
    list->remove(client);
    return true;
}

std::vector<const VqNotifyBase*> VqNotifyBase::notificationClients() const {
    std::vector<const VqNotifyBase*> out;
    ClientList* list = _clientList(false);
    if (!list) return out;
    VqAutoLock lock(list->mutex);
    out.reserve(list->live);
    for (const VqNotifyBase* c : list->slots)
        if (c) out.push_back(c);
    return out;
}

unsigned int VqNotifyBase::numNotificationClients() const {
    ClientList* list = _clientList(false);
    if (!list) return 0;
    VqAutoLock lock(list->mutex);
    return static_cast<unsigned int>(list->live);
}
