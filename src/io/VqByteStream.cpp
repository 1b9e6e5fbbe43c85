#include "VqByteStream.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqPlatform.h"
#include "VqStdException.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

VQ_IMPLEMENT_ABSTRACT_TYPE(VqByteStream, VqBaseStream, CLSID_ZQByteStream)

// The process-wide list of open counted streams: a min-heap on the use stamp,
// so that the least recently used stream is on top. Each stream knows its
// place in the heap, so that marking it used or removing it is O(log n).
class VqOpenStreamList {
public:
    VqMutex _mutex;
    std::vector<VqByteStream*> _vpHeap;
    uint64_t _nStampCounter = 0;

    void push(VqByteStream* s) {
        s->_nHeapIndex = static_cast<int>(_vpHeap.size());
        _vpHeap.push_back(s);
        _siftUp(s->_nHeapIndex);
    }
    VqByteStream* popMin() {
        VqByteStream* top = _vpHeap.front();
        remove(top);
        return top;
    }
    void remove(VqByteStream* s) {
        int i = s->_nHeapIndex;
        VqByteStream* last = _vpHeap.back();
        _vpHeap.pop_back();
        s->_nHeapIndex = -1;
        if (last == s) return;
        _vpHeap[i] = last;
        last->_nHeapIndex = i;
        _siftDown(i);
        _siftUp(last->_nHeapIndex);
    }
    void touch(VqByteStream* s) {
        s->_nUseStamp = ++_nStampCounter;
        _siftDown(s->_nHeapIndex);
    }

    // Enters s into the list. While the list is full, the least recently
    // used streams that can be locked without waiting are taken out and
    // handed back, locked, for the caller to close. Streams in use are never
    // taken. When too few are free, the caller waits for a holder to release
    // one, unless every holder is itself waiting here (or is the caller):
    // nobody would ever release one then, so s is admitted over the limit,
    // and the list shrinks back at later entries.
    void enter(VqByteStream* s, std::vector<VqByteStream*>& victims) {
        const std::thread::id self = std::this_thread::get_id();
        std::unique_lock<VqMutex> guard(_mutex);
        bool waiting = false;
        for (;;) {
            const size_t limit = static_cast<size_t>(std::max(1, VqByteStream::s_openStreamLimit()));
            std::vector<VqByteStream*> aside;
            bool releasable = false;
            while (_vpHeap.size() + aside.size() >= limit && !_vpHeap.empty()) {
                VqByteStream* cand = popMin();
                if (cand->_tryLockFree()) {
                    victims.push_back(cand);
                    continue;
                }
                const std::thread::id owner = cand->_owner.load(std::memory_order_acquire);
                if (owner != self && std::find(_vWaiting.begin(), _vWaiting.end(), owner) == _vWaiting.end())
                    releasable = true;
                aside.push_back(cand);
            }
            for (VqByteStream* a : aside)
                push(a);
            // Victims in hand are closed first: their owners may be blocked on
            // them, and waiting with them locked could wait for ever.
            if (_vpHeap.size() < limit || !releasable || !victims.empty()) break;
            if (!waiting) {
                _vWaiting.push_back(self);
                _nWaiting.fetch_add(1);
                waiting = true;
            }
            // A release signals; the timeout covers one that came between
            // the pass above and the wait.
            _released.wait_for(guard, std::chrono::milliseconds(2));
        }
        if (waiting) {
            _vWaiting.erase(std::find(_vWaiting.begin(), _vWaiting.end(), self));
            _nWaiting.fetch_sub(1);
        }
        // A stream whose device closed behind the list's back is still in it.
        if (s->_nHeapIndex >= 0) {
            touch(s);
            return;
        }
        s->_nUseStamp = ++_nStampCounter;
        push(s);
    }

    // Threads waiting in enter() for a stream to be released.
    std::vector<std::thread::id> _vWaiting;
    std::atomic<int> _nWaiting{0};
    std::condition_variable_any _released;

private:
    bool _less(int a, int b) const { return _vpHeap[a]->_nUseStamp < _vpHeap[b]->_nUseStamp; }
    void _swap(int a, int b) {
        std::swap(_vpHeap[a], _vpHeap[b]);
        _vpHeap[a]->_nHeapIndex = a;
        _vpHeap[b]->_nHeapIndex = b;
    }
    void _siftUp(int i) {
        while (i > 0) {
            int parent = (i - 1) / 2;
            if (!_less(i, parent)) break;
            _swap(i, parent);
            i = parent;
        }
    }
    void _siftDown(int i) {
        int n = static_cast<int>(_vpHeap.size());
        for (;;) {
            int l = 2 * i + 1, r = l + 1, m = i;
            if (l < n && _less(l, m)) m = l;
            if (r < n && _less(r, m)) m = r;
            if (m == i) break;
            _swap(i, m);
            i = m;
        }
    }
};

namespace {
VqOpenStreamList* s_pOpenList = nullptr;
} // namespace

VqByteStream::VqByteStream(bool countsAgainstLimit) : _bCountsAgainstLimit(countsAgainstLimit) {}

// The heap index moves whenever another stream enters or leaves the list: it
// is read only under the list's mutex.
VqByteStream::~VqByteStream() {
    if (_bCountsAgainstLimit && s_pOpenList) {
        VqAutoLock guard(s_pOpenList->_mutex);
        if (_nHeapIndex >= 0) s_pOpenList->remove(this);
    }
}

void VqByteStream::lock() {
    _mutex.lock();
    if (_nLockCount.fetch_add(1, std::memory_order_acq_rel) == 0)
        _owner.store(std::this_thread::get_id(), std::memory_order_release);
}

void VqByteStream::unlock() {
    if (_nLockCount.load(std::memory_order_acquire) <= 0) return;
    const bool released = _nLockCount.fetch_sub(1, std::memory_order_acq_rel) == 1;
    if (released) _owner.store(std::thread::id(), std::memory_order_release);
    _mutex.unlock();
    if (released && s_pOpenList && s_pOpenList->_nWaiting.load()) s_pOpenList->_released.notify_all();
}

bool VqByteStream::tryLock() {
    if (!_mutex.tryLock()) return false;
    if (_nLockCount.fetch_add(1, std::memory_order_acq_rel) == 0)
        _owner.store(std::this_thread::get_id(), std::memory_order_release);
    return true;
}

bool VqByteStream::_tryLockFree() {
    if (!tryLock()) return false;
    // The mutex is recursive: a count above 1 means this thread held it already.
    if (_nLockCount.load(std::memory_order_acquire) == 1) return true;
    unlock();
    return false;
}

void VqByteStream::_evict() {
    try {
        _close();
    } catch (...) {
        // For a write stream this is data that never reached the file: its
        // owner, who still believes it written, must hear of it.
        if (!_pEvictionFailure) _pEvictionFailure = std::current_exception();
    }
}

void VqByteStream::_raiseEvictionFailure() {
    if (!_pEvictionFailure) return;
    std::exception_ptr failure = _pEvictionFailure;
    _pEvictionFailure = nullptr;
    std::rethrow_exception(failure);
}

void VqByteStream::open() {
    VqAutoLockByteStream guard(this);
    _raiseEvictionFailure();
    VqOpenStreamList* list = _bCountsAgainstLimit ? s_pOpenList : nullptr;
    if (_isOpen()) {
        if (list) {
            VqAutoLock listGuard(list->_mutex);
            if (_nHeapIndex >= 0) list->touch(this);
        }
        return;
    }
    _open();
    if (!list) return;
    std::vector<VqByteStream*> victims;
    list->enter(this, victims);
    // Each victim is locked by us and out of the list: nobody uses it.
    for (VqByteStream* victim : victims) {
        victim->_evict();
        victim->unlock();
    }
}

void VqByteStream::close() {
    VqAutoLockByteStream guard(this);
    _raiseEvictionFailure();
    if (!_isOpen()) return;
    if (_bCountsAgainstLimit && s_pOpenList) {
        VqAutoLock listGuard(s_pOpenList->_mutex);
        if (_nHeapIndex >= 0) s_pOpenList->remove(this);
    }
    _close();
}

bool VqByteStream::init() {
    if (!s_pOpenList) s_pOpenList = new VqOpenStreamList();
    return true;
}

void VqByteStream::fini() {
    s_reapOpenStreamList();
    delete s_pOpenList;
    s_pOpenList = nullptr;
}

void VqByteStream::s_reapOpenStreamList() {
    if (!s_pOpenList) return;
    for (;;) {
        // A stream is taken out of the list only once it is locked, and
        // locked only while the list is: its owner may be releasing it on
        // another thread, and a stream's destructor takes it out of the list
        // after closing it under its own lock. Streams in use elsewhere, or
        // by the caller, stay open; their owners close them.
        VqByteStream* s = nullptr;
        {
            VqAutoLock guard(s_pOpenList->_mutex);
            for (VqByteStream* cand : s_pOpenList->_vpHeap)
                if (cand->_tryLockFree()) {
                    s = cand;
                    break;
                }
            if (!s) return;
            s_pOpenList->remove(s);
        }
        try {
            s->_close();
        } catch (...) {
            // Shutting down: there is nobody left to report to.
        }
        s->unlock();
    }
}

void VqByteStream::s_reapClosedStreams() {
    if (!s_pOpenList) return;
    VqAutoLock guard(s_pOpenList->_mutex);
    std::vector<VqByteStream*> closed;
    for (VqByteStream* cand : s_pOpenList->_vpHeap) {
        if (!cand->_tryLockFree()) continue;
        if (!cand->_isOpen()) closed.push_back(cand);
        cand->unlock();
    }
    for (VqByteStream* c : closed)
        s_pOpenList->remove(c);
}

int VqByteStream::s_numOpenStreams() {
    if (!s_pOpenList) return 0;
    VqAutoLock guard(s_pOpenList->_mutex);
    return static_cast<int>(s_pOpenList->_vpHeap.size());
}

int VqByteStream::s_openStreamLimit() {
    VqPlatform* platform = g_pInstanceVqPlatform;
    return platform ? platform->streamBudget() : 32;
}
