#include "VqByteStream.h"

#include "VqErrorState.h"
#include "VqFactory.h"
#include "VqPlatform.h"
#include "VqStdException.h"

#include <sched.h>
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

    // Enters s into the list. When the list is full, the least recently used
    // stream that can be locked without waiting is taken out and returned,
    // locked, for the caller to close. Streams in use are never taken; when
    // every stream in the list is held by the calling thread itself, nobody
    // could release one, so s is admitted over the limit instead of waiting
    // for ever.
    VqByteStream* enter(VqByteStream* s) {
        VqByteStream* victim = nullptr;
        std::vector<VqByteStream*> aside;
        for (;;) {
            _mutex.lock();
            if (static_cast<int>(_vpHeap.size()) < VqByteStream::s_openStreamLimit()) break;
            bool heldElsewhere = false;
            aside.clear();
            while (!_vpHeap.empty()) {
                VqByteStream* cand = popMin();
                if (cand->_tryLockFree()) {
                    victim = cand;
                    break;
                }
                if (!cand->_lockedByThisThread()) heldElsewhere = true;
                aside.push_back(cand);
            }
            for (VqByteStream* a : aside)
                push(a);
            if (victim || !heldElsewhere) break;
            _mutex.unlock();
            sched_yield();
        }
        s->_nUseStamp = ++_nStampCounter;
        push(s);
        _mutex.unlock();
        return victim;
    }

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

VqByteStream::~VqByteStream() {
    if (_nHeapIndex >= 0 && s_pOpenList) {
        VqAutoLock guard(s_pOpenList->_mutex);
        if (_nHeapIndex >= 0) s_pOpenList->remove(this);
    }
}

void VqByteStream::lock() {
    _mutex.lock();
    _nLockCount.fetch_add(1, std::memory_order_acq_rel);
}

void VqByteStream::unlock() {
    if (_nLockCount.load(std::memory_order_acquire) <= 0) return;
    _nLockCount.fetch_sub(1, std::memory_order_acq_rel);
    _mutex.unlock();
}

bool VqByteStream::tryLock() {
    if (!_mutex.tryLock()) return false;
    _nLockCount.fetch_add(1, std::memory_order_acq_rel);
    return true;
}

bool VqByteStream::_tryLockFree() {
    if (!tryLock()) return false;
    // The mutex is recursive: a count above 1 means this thread held it already.
    if (_nLockCount.load(std::memory_order_acquire) == 1) return true;
    unlock();
    return false;
}

bool VqByteStream::_lockedByThisThread() {
    if (!_mutex.tryLock()) return false;
    bool held = _nLockCount.load(std::memory_order_acquire) > 0;
    _mutex.unlock();
    return held;
}

void VqByteStream::open() {
    VqAutoLockByteStream guard(this);
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
    if (VqByteStream* victim = list->enter(this)) {
        // The victim is locked by us and out of the list: nobody uses it.
        try {
            victim->_close();
        } catch (...) {
            // Its owner reopens it on next use, and a stream whose close lost
            // written data reports that loss there (see VqFileByteStream).
        }
        victim->unlock();
    }
}

void VqByteStream::close() {
    VqAutoLockByteStream guard(this);
    if (!_isOpen()) return;
    if (_nHeapIndex >= 0 && s_pOpenList) {
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

int VqByteStream::s_numOpenStreams() {
    if (!s_pOpenList) return 0;
    VqAutoLock guard(s_pOpenList->_mutex);
    return static_cast<int>(s_pOpenList->_vpHeap.size());
}

int VqByteStream::s_openStreamLimit() {
    VqPlatform* platform = g_pInstanceVqPlatform;
    return platform ? platform->streamBudget() : 32;
}
