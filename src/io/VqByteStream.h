#pragma once

#include "VqBaseStream.h"
#include "VqExport.h"
#include "VqMutex.h"

#include <atomic>
#include <exception>
#include <thread>

// A lockable byte source and sink (a file or a memory buffer).
//
// The stream is used by one thread at a time, which holds its lock for the
// duration of a segment. File streams count against a process-wide limit on
// simultaneously open streams: when a new one must open and the limit is
// reached, the least recently used streams that nobody holds locked are
// closed; each reopens by itself on its next open(). When every listed stream
// is held, the opener waits for a release, unless all holders are waiting for
// one too: then the new stream is admitted over the limit. A stream
// whose closing failed there (a write stream's buffered data did not reach
// the file) raises that failure on its next open() or close().
class VQ_API VqByteStream : public VqBaseStream {
    VQ_DECLARE_TYPE(VqByteStream)
public:
    explicit VqByteStream(bool countsAgainstLimit = false);
    ~VqByteStream() override;

    // Opens the device if needed (entering the open-stream list, possibly
    // evicting another stream), else marks the stream as just used.
    void open() override;
    // Leaves the open-stream list and closes the device.
    void close() override;
    bool isOpen() const override { return _isOpen(); }

    // The lock is recursive and counted; a stream is locked while the count is above 0.
    void lock();
    void unlock();
    bool tryLock();
    bool isLocked() const { return _nLockCount.load(std::memory_order_acquire) > 0; }

    // Creates and destroys the process-wide open-stream list.
    static bool init();
    static void fini();
    // Closes every stream still in the open-stream list (at shutdown).
    static void s_reapOpenStreamList();
    // Takes out of the list the streams whose devices are closed, without
    // waiting for any stream and leaving open ones open.
    static void s_reapClosedStreams();
    // Number of streams in the open-stream list.
    static int s_numOpenStreams();
    // The limit on simultaneously open counted streams: the platform's stream budget.
    static int s_openStreamLimit();

protected:
    virtual void _open() = 0;
    virtual void _close() = 0;
    virtual bool _isOpen() const = 0;

private:
    friend class VqOpenStreamList;

    // Locks only when no thread, this one included, holds the stream.
    bool _tryLockFree();
    // Closes a stream taken out of the list, keeping a failure for its owner.
    void _evict();
    void _raiseEvictionFailure();

    VqMutex _mutex;
    std::atomic<int> _nLockCount{0};
    // The thread holding the lock, while one does.
    std::atomic<std::thread::id> _owner{};
    bool _bCountsAgainstLimit;
    // Position in the open-stream heap (-1 when not in it) and last use stamp;
    // both are guarded by the list's mutex.
    int _nHeapIndex = -1;
    uint64_t _nUseStamp = 0;
    // Guarded by the stream's lock.
    std::exception_ptr _pEvictionFailure;
};

// Scope guard for a byte stream's lock.
class VQ_API VqAutoLockByteStream {
public:
    explicit VqAutoLockByteStream(VqByteStream* s) : _s(s) {
        if (_s) _s->lock();
    }
    ~VqAutoLockByteStream() {
        if (_s) _s->unlock();
    }
    VqAutoLockByteStream(const VqAutoLockByteStream&) = delete;
    VqAutoLockByteStream& operator=(const VqAutoLockByteStream&) = delete;

private:
    VqByteStream* _s;
};
