#pragma once

#include "VqExport.h"
#include "VqMutex.h"
#include "VqRequestEntry.h"
#include "VqSharedPtr.h"

#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

class VqBase;

// The residency request manager's queue: every known entry by object, the
// main queue of entries waiting for a loader (sorted by time-adjusted
// priority), and the pre-in list of additions, updates and removals not yet
// merged into the main queue. Requests arrive from any thread and only touch
// the map and the pre-in list; the sorting waits until a loader (or the
// calling thread's time slice) next takes an entry.
//
// One lock guards it all. The pre-in list keeps the sorting off the
// requesting threads, not their locking: every request looks the object up
// in the map first, so a second lock for the list alone would always be
// taken together with the first. The lock is recursive and exposed so that
// the manager can wait on it for stage changes.
class VQ_API VqRequestQueue {
public:
    // A priority with the frame at which it was given.
    struct Priority {
        float fPriority = 0.0f;
        uint32_t uFrame = 0;
    };

    VqRequestQueue() = default;
    ~VqRequestQueue();
    VqRequestQueue(const VqRequestQueue&) = delete;
    VqRequestQueue& operator=(const VqRequestQueue&) = delete;

    VqMutex& mutex() const { return _mutex; }

    // priority x exp(-scale x (now - given)), the frame difference taken as an
    // unsigned 32-bit number so that a wrapped counter still ages requests.
    static float adjustedPriority(const Priority& p, float scale, uint32_t now);
    // The platform's frame counter, cut to 32 bits.
    static uint32_t currentFrame();
    void setTimeDecayScale(float scale);
    float timeDecayScale() const;
    // Below 1: unlimited (stored as -1).
    void setMaxLength(int n);
    int maxLength() const;

    // The entry known for object, or null.
    Vq::SharedPtr<VqRequestEntry> find(const VqBase* object) const;
    // Enters a new entry in its initial stage; unless it sleeps, its addition
    // waits in the pre-in list. Fails when the object has an entry already.
    bool addEntry(VqRequestEntry* entry, float priority);
    bool updateEntry(VqRequestEntry* entry, float priority);
    // Removes an entry that no loader has taken yet, at the next merge.
    bool invalidateUnprocessedEntry(VqRequestEntry* entry);
    // Queues a sleeping entry.
    bool wakeupEntry(VqRequestEntry* entry, float priority);
    // Whether a new request of this priority is let in: always while the
    // queue is unlimited, under half full, or shorter than its limit minus
    // what waits in the pre-in list; else only when it ranks at least as high
    // as the lowest queued entry.
    bool cmpMinEntryPriority(float priority) const;
    // Set by the addition of an urgent request, cleared when no urgent
    // request waits any more.
    bool isUrgent() const;

    // Applies the pre-in list: removals, then updates and additions, then
    // sorts and evicts the excess of lowest priority.
    bool mergePreIn();
    // The entry of highest priority, moved to INFLT; null when none waits (or,
    // with urgentOnly, when the best is not urgent).
    Vq::SharedPtr<VqRequestEntry> popNextUnprocessedEntry(bool urgentOnly);
    // Takes a waiting entry out of the queue for the calling thread (INFLT).
    bool takeEntry(VqRequestEntry* entry);
    // INFLT -> POSTFLT; the entry joins the list of those to hook up.
    bool markProcessed(VqRequestEntry* entry);
    // INFLT -> HOOKUP, for a thread that loaded the entry itself.
    bool markTakenForHookup(VqRequestEntry* entry);
    // POSTFLT -> HOOKUP for one entry, or for every loaded entry that pick accepts.
    bool takeProcessedEntry(VqRequestEntry* entry);
    void takeProcessed(const std::function<bool(VqRequestEntry*)>& pick,
                       std::vector<Vq::SharedPtr<VqRequestEntry>>& out);
    // HOOKUP -> RETIRED: the entry leaves the map.
    void finishHookup(VqRequestEntry* entry);
    // Removes every entry not taken by a thread (waiting ones; with loaded,
    // also those waiting for hook-up).
    void clear(bool loaded);
    // Hands over the entries removed or evicted since the last call, for the
    // caller to release on its own thread.
    void takeRetired(std::vector<Vq::SharedPtr<VqRequestEntry>>& out);

    // Entries waiting for a loader, merged or not.
    bool hasWork() const;
    size_t queueLength() const;
    size_t numEntries() const;
    int numInFlight() const;
    // Calls fn for every known entry (under the lock).
    void forEachEntry(const std::function<void(const VqRequestEntry&)>& fn) const;

private:
    enum class Op : int { Add, Update, Remove };
    struct PreOp {
        Op eOp;
        Vq::SharedPtr<VqRequestEntry> pEntry;
        Priority tPriority;
    };

    bool _owns(const VqRequestEntry* entry) const;
    static bool _isWaiting(const VqRequestEntry* entry);
    void _unqueue(VqRequestEntry* entry);
    void _retire(VqRequestEntry* entry);
    void _eraseFromMap(VqRequestEntry* entry);
    void _appendOp(Op op, VqRequestEntry* entry, float priority);

    mutable VqMutex _mutex;
    std::unordered_map<const VqBase*, Vq::SharedPtr<VqRequestEntry>> _mEntries;
    // Ascending by time-adjusted priority: the next entry to load is the last.
    // Holds exactly the entries marked queued, all waiting and in the map.
    std::vector<VqRequestEntry*> _vpQueue;
    std::vector<PreOp> _vPreIn;
    std::vector<Vq::SharedPtr<VqRequestEntry>> _vpProcessed;
    std::vector<Vq::SharedPtr<VqRequestEntry>> _vpRetired;
    float _fDecayScale = 0.0f;
    int _nMaxLength = -1;
    int _nInFlight = 0;
    bool _bUrgent = false;
    // Ties of priority are served first come, first served.
    uint64_t _nSequence = 0;
};
