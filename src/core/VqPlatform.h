#pragma once

#include "VqExport.h"
#include "VqMutex.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace Vq {
class ThreadPool;
}

// Process-wide platform description: the allocation hooks and the memory
// accounting every library object goes through, the memory budget and the
// capacity settings other parts of the library read.
class VQ_API VqPlatform {
public:
    typedef void* (*AllocFunc)(size_t);
    typedef void (*FreeFunc)(void*);
    // Told the new memory-use status (0 under, 1 over the threshold).
    typedef void (*MemoryUseCallback)(int status, void* data);
    // Reports the memory the process holds beyond the tracked total, in bytes.
    typedef uint64_t (*UntrackedMemProbe)();

    static constexpr float s_cDefaultThreshold = 0.95f;
    static constexpr int s_cNoThreadLimit = 0x7FFFFFFF;
    // Budgets above this are refused unless they lower the current value.
    static constexpr int s_cMaxRaisedBudget = 29;

    // The platform lives from the first init to the end of the process, so that
    // objects and strings released late still find their allocator.
    static VqPlatform* EnsureInstance();

    // Allocation through the replaceable functions; every call is counted.
    void* alloc(size_t size) noexcept;
    void dealloc(void* ptr) noexcept;
    // Installs a new pair and hands back the previous one. Blocks allocated by
    // the old pair are still freed by it.
    void setGblAllocFreeFunc(AllocFunc alloc, FreeFunc dealloc, AllocFunc* oldAlloc, FreeFunc* oldFree);

    // Totals since start-up: every alloc adds to them. Each thread gathers
    // its own allocations and adds them in batches, so another thread's last
    // few may not show yet; the calling thread's own always do.
    uint64_t allocatedBytes() const;
    uint64_t numAllocations() const;

    // Memory tracked explicitly by large buffers (never below 0).
    void addToMemory(uint64_t bytes);
    void removeFromMemory(uint64_t bytes);
    uint64_t trackedMemory() const { return _nTrackedMemory.load(std::memory_order_relaxed); }

    // Memory budget in bytes (0: none), capped at the page-file size.
    bool setMemoryBudget(unsigned long bytes);
    // Budget as a fraction (0 to 2) of the total physical memory.
    bool setMemoryBudget(float fPercentage);
    uint64_t memoryBudget() const;
    float relativeMemBudget() const;
    // Fraction of the budget at which memory counts as exhausted (0 to 0.95).
    bool setThreshold(float fThreshold);
    float threshold() const;
    // 0 while committed memory is under threshold x budget, 1 while over.
    int memoryUseStatus() const;
    // Re-evaluates the status and reports in `ok` whether `bytes` more would
    // stay within threshold x budget.
    bool requestMemory(uint64_t bytes, bool& ok);
    bool addMemoryUseCallback(MemoryUseCallback cb, void* data);
    bool removeMemoryUseCallback(MemoryUseCallback cb, void* data);

    uint64_t totalPhysicalMem() const;
    // For hosts that run with less memory than the machine has (a container's
    // limit); 0 measures the machine again.
    void setTotalPhysicalMem(uint64_t bytes);
    // 1.5 x the total physical memory.
    uint64_t kernelPagefileSize() const;
    // Tracked memory plus what the process holds otherwise; the second part is
    // measured at most every 0.5 s unless `force` is set or the process forked.
    uint64_t processCommittedMem(bool force);
    // Replaces the measurement of untracked memory (null: the process's
    // resident size). Used where the accounting must be deterministic.
    void setUntrackedMemProbe(UntrackedMemProbe probe);

    uint64_t frameCount() const { return _nFrameCount.load(std::memory_order_relaxed); }
    void incrementFrameCount() { _nFrameCount.fetch_add(1, std::memory_order_relaxed); }

    // Object-cache and stream budgets: lowering always works, raising above
    // 29 is refused.
    bool setStreamBudget(int n);
    int streamBudget() const { return _nStreamBudget.load(); }
    bool setCompressedRepHelperBudget(int n);
    int compressedRepHelperBudget() const { return _nCompressedRepHelperBudget.load(); }
    bool setCodecDriver2Budget(int n);
    int codecDriver2Budget() const { return _nCodecDriver2Budget.load(); }
    bool setTopoMeshCoderBudget(int n);
    int topoMeshCoderBudget() const { return _nTopoMeshCoderBudget.load(); }

    // Upper limit of threads a task may use; also sizes the thread pool.
    bool setMaxTaskThreads(int n);
    int maxTaskThreads() const { return _nMaxTaskThreads.load(); }
    // Enables (bEnable) or disables the processors whose bits are set.
    void setCpuEnabledMask(uint64_t mask, bool bEnable);
    uint64_t cpuEnabledMask() const { return _nCpuEnabledMask.load(); }

    // The process-wide thread pool, created on first use with one worker per
    // processor (within the task-thread limit). Null when it cannot be created.
    Vq::ThreadPool* threadPool();
    void releaseThreadPool();

private:
    VqPlatform() = default;

    bool _setBudget(std::atomic<int>& budget, int n, const char* method, const char* refusal);
    // Pool size for a task-thread limit: the limit itself, or one worker per
    // processor when there is none.
    static int _poolThreadsFor(int maxTaskThreads);
    // Passes a change of the memory-use status on. Called under _mutex.
    void _memoryStatusChanged(int status);
    // Adds the calling thread's gathered allocations to the totals.
    void _flushThreadCounts() const;

    std::atomic<AllocFunc> _pfAlloc{nullptr};
    std::atomic<FreeFunc> _pfFree{nullptr};
    mutable std::atomic<uint64_t> _nAllocatedBytes{0};
    mutable std::atomic<uint64_t> _nAllocations{0};
    std::atomic<uint64_t> _nTrackedMemory{0};
    std::atomic<uint64_t> _nFrameCount{0};

    // Guards the budget, the status, the measurement cache, the callbacks and
    // the thread pool pointer.
    mutable VqMutex _mutex;
    uint64_t _nMemoryBudget = 0;
    float _fThreshold = s_cDefaultThreshold;
    int _eMemUseStatus = 0;
    uint64_t _nTotalPhysMem = 1ull << 30;
    uint64_t _nUntrackedMem = 0;
    double _tUntrackedMeasured = -1.0;
    int _nMeasuredPid = 0;
    UntrackedMemProbe _pfUntrackedProbe = nullptr;
    struct CallbackEntry {
        MemoryUseCallback cb;
        void* data;
    };
    std::vector<CallbackEntry> _vCallbacks;

    std::atomic<int> _nStreamBudget{32};
    std::atomic<int> _nCompressedRepHelperBudget{16};
    std::atomic<int> _nCodecDriver2Budget{16};
    std::atomic<int> _nTopoMeshCoderBudget{16};
    std::atomic<int> _nMaxTaskThreads{s_cNoThreadLimit};
    std::atomic<uint64_t> _nCpuEnabledMask{~0ull};
    Vq::ThreadPool* _pThreadPool = nullptr;
};

extern VQ_API VqPlatform* g_pInstanceVqPlatform;
