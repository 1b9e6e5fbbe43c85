#include "VqPlatform.h"

#include "VqErrorState.h"
#include "VqThreadPool.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <unistd.h>

VqPlatform* g_pInstanceVqPlatform = nullptr;

namespace {
// Each block carries a header with its size and the free function that owns
// it, so that the accounting stays right when the functions are swapped.
struct alignas(16) BlockHeader {
    size_t size;
    VqPlatform::FreeFunc release;
};
static_assert(sizeof(BlockHeader) == 16, "block header keeps 16-byte alignment");

// Reading /proc costs a system call and a parse; allocations that ask for
// budget come far more often than the process's footprint changes.
constexpr double s_cCommittedMemCacheSeconds = 0.5;

// A locked addition per counter and object cost more than the rest of the
// accounting, and every library object is counted: each thread gathers its
// allocations here and adds them to the totals in batches. Plain data, so
// that reaching it needs no first-use guard.
struct ThreadCounts {
    uint64_t bytes;
    uint32_t count;
    // The count at which the batch is added: 0 (every allocation) until the
    // thread has a ThreadExitFlush to add its last batch, and again once its
    // exit handlers have run.
    uint32_t flushAt;
    bool bExiting;
};
thread_local ThreadCounts t_counts{};
constexpr uint32_t s_cFlushEvery = 64;

// Adds what the thread gathered since its last batch when it ends.
struct ThreadExitFlush {
    bool bUsed = false;
    ~ThreadExitFlush() {
        t_counts.bExiting = true;
        t_counts.flushAt = 0;
        // Reading the totals adds the calling thread's share first.
        if (g_pInstanceVqPlatform) (void)g_pInstanceVqPlatform->numAllocations();
    }
};
thread_local ThreadExitFlush t_exitFlush;

double monotonicSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

uint64_t measurePhysicalMem() {
    long pageSize = sysconf(_SC_PAGESIZE);
    long pages = sysconf(_SC_PHYS_PAGES);
    if (pageSize <= 0 || pages <= 0) return 1ull << 30;
    return static_cast<uint64_t>(pageSize) * static_cast<uint64_t>(pages);
}

// The process's resident size from /proc/self/statm (second field, in pages);
// 0 when it cannot be read.
uint64_t measureResidentMem() {
    int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char buf[256];
    ssize_t n = read(fd, buf, sizeof(buf) - 1);
    close(fd);
    if (n <= 0) return 0;
    const char* p = buf;
    const char* end = buf + n;
    uint64_t size = 0, resident = 0;
    auto r = std::from_chars(p, end, size);
    if (r.ec != std::errc() || r.ptr == end || *r.ptr != ' ') return 0;
    r = std::from_chars(r.ptr + 1, end, resident);
    if (r.ec != std::errc()) return 0;
    long pageSize = sysconf(_SC_PAGESIZE);
    return pageSize > 0 ? resident * static_cast<uint64_t>(pageSize) : 0;
}
} // namespace

VqPlatform* VqPlatform::EnsureInstance() {
    if (!g_pInstanceVqPlatform) {
        VqPlatform* p = new (std::nothrow) VqPlatform();
        if (p) {
            p->_pfAlloc = &std::malloc;
            p->_pfFree = &std::free;
            p->_nTotalPhysMem = measurePhysicalMem();
        }
        g_pInstanceVqPlatform = p;
    }
    return g_pInstanceVqPlatform;
}

void* VqPlatform::alloc(size_t size) noexcept {
    if (size > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
    AllocFunc fn = _pfAlloc.load();
    void* raw = fn(size + sizeof(BlockHeader));
    if (!raw) return nullptr;
    auto* h = static_cast<BlockHeader*>(raw);
    h->size = size;
    h->release = _pfFree.load();
    ThreadCounts& t = t_counts;
    t.bytes += size;
    if (++t.count >= t.flushAt) _flushThreadCounts();
    return h + 1;
}

void VqPlatform::_flushThreadCounts() const {
    ThreadCounts& t = t_counts;
    if (t.flushAt == 0 && !t.bExiting) {
        t_exitFlush.bUsed = true;
        t.flushAt = s_cFlushEvery;
    }
    if (t.count == 0) return;
    _nAllocatedBytes.fetch_add(t.bytes, std::memory_order_relaxed);
    _nAllocations.fetch_add(t.count, std::memory_order_relaxed);
    t.bytes = 0;
    t.count = 0;
}

uint64_t VqPlatform::allocatedBytes() const {
    _flushThreadCounts();
    return _nAllocatedBytes.load(std::memory_order_relaxed);
}

uint64_t VqPlatform::numAllocations() const {
    _flushThreadCounts();
    return _nAllocations.load(std::memory_order_relaxed);
}

void VqPlatform::dealloc(void* ptr) noexcept {
    if (!ptr) return;
    BlockHeader* h = static_cast<BlockHeader*>(ptr) - 1;
    h->release(h);
}

void VqPlatform::setGblAllocFreeFunc(AllocFunc alloc, FreeFunc dealloc, AllocFunc* oldAlloc,
                                     FreeFunc* oldFree) {
    if (oldAlloc) *oldAlloc = _pfAlloc.load();
    if (oldFree) *oldFree = _pfFree.load();
    _pfAlloc = alloc ? alloc : &std::malloc;
    _pfFree = dealloc ? dealloc : &std::free;
}

void VqPlatform::addToMemory(uint64_t bytes) {
    _nTrackedMemory.fetch_add(bytes, std::memory_order_relaxed);
}

void VqPlatform::removeFromMemory(uint64_t bytes) {
    uint64_t cur = _nTrackedMemory.load(std::memory_order_relaxed);
    uint64_t next;
    do {
        next = cur > bytes ? cur - bytes : 0;
    } while (!_nTrackedMemory.compare_exchange_weak(cur, next, std::memory_order_relaxed));
}

bool VqPlatform::setMemoryBudget(unsigned long bytes) {
    VqAutoLock lock(_mutex);
    _nMemoryBudget = std::min<uint64_t>(bytes, kernelPagefileSize());
    bool ok;
    return requestMemory(0, ok);
}

bool VqPlatform::setMemoryBudget(float fPercentage) {
    VQ_CHECK(fPercentage >= 0.0f && fPercentage <= 2.0f, "VqPlatform", "setMemoryBudget", VQ_ERR_ARGUMENT);
    VqAutoLock lock(_mutex);
    double bytes = static_cast<double>(fPercentage) * static_cast<double>(_nTotalPhysMem);
    return setMemoryBudget(static_cast<unsigned long>(bytes));
}

uint64_t VqPlatform::memoryBudget() const {
    VqAutoLock lock(_mutex);
    return _nMemoryBudget;
}

float VqPlatform::relativeMemBudget() const {
    VqAutoLock lock(_mutex);
    return static_cast<float>(static_cast<double>(_nMemoryBudget) / static_cast<double>(_nTotalPhysMem));
}

bool VqPlatform::setThreshold(float fThreshold) {
    VQ_CHECK(fThreshold >= 0.0f && fThreshold <= 0.95f, "VqPlatform", "setThreshold", VQ_ERR_ARGUMENT);
    VqAutoLock lock(_mutex);
    _fThreshold = fThreshold;
    bool ok;
    return requestMemory(0, ok);
}

float VqPlatform::threshold() const {
    VqAutoLock lock(_mutex);
    return _fThreshold;
}

int VqPlatform::memoryUseStatus() const {
    VqAutoLock lock(_mutex);
    return _eMemUseStatus;
}

bool VqPlatform::requestMemory(uint64_t bytes, bool& ok) {
    VqAutoLock lock(_mutex);
    int status = 0;
    if (_nMemoryBudget == 0) {
        ok = true;
    } else {
        const double limit = static_cast<double>(_fThreshold) * static_cast<double>(_nMemoryBudget);
        const uint64_t committed = processCommittedMem(false);
        status = static_cast<double>(committed) >= limit ? 1 : 0;
        ok = static_cast<double>(committed) + static_cast<double>(bytes) <= limit;
    }
    if (status != _eMemUseStatus) {
        _eMemUseStatus = status;
        _memoryStatusChanged(status);
    }
    return true;
}

// The one place where a change of the memory-use status leaves the platform.
// The residency request manager joins here when it exists: over the threshold
// it locks its load queue, which pauses its loaders, and under it unlocks it
// again. The host's callbacks follow, in the order they were added.
void VqPlatform::_memoryStatusChanged(int status) {
    for (const CallbackEntry& e : _vCallbacks)
        e.cb(status, e.data);
}

bool VqPlatform::addMemoryUseCallback(MemoryUseCallback cb, void* data) {
    VQ_CHECK(cb != nullptr, "VqPlatform", "addMemoryUseCallback", VQ_ERR_ARGUMENT);
    VqAutoLock lock(_mutex);
    _vCallbacks.push_back({cb, data});
    return true;
}

bool VqPlatform::removeMemoryUseCallback(MemoryUseCallback cb, void* data) {
    VqAutoLock lock(_mutex);
    auto it = std::find_if(_vCallbacks.begin(), _vCallbacks.end(),
                           [&](const CallbackEntry& e) { return e.cb == cb && e.data == data; });
    if (it == _vCallbacks.end())
        VQ_FAIL("VqPlatform", "removeMemoryUseCallback", "Callback not registered", VQ_ERR_ARGUMENT);
    _vCallbacks.erase(it);
    return true;
}

uint64_t VqPlatform::totalPhysicalMem() const {
    VqAutoLock lock(_mutex);
    return _nTotalPhysMem;
}

void VqPlatform::setTotalPhysicalMem(uint64_t bytes) {
    VqAutoLock lock(_mutex);
    _nTotalPhysMem = bytes ? bytes : measurePhysicalMem();
}

uint64_t VqPlatform::kernelPagefileSize() const {
    VqAutoLock lock(_mutex);
    return _nTotalPhysMem + _nTotalPhysMem / 2;
}

uint64_t VqPlatform::processCommittedMem(bool force) {
    VqAutoLock lock(_mutex);
    const double now = monotonicSeconds();
    const int pid = static_cast<int>(getpid());
    const uint64_t tracked = trackedMemory();
    if (force || pid != _nMeasuredPid || _tUntrackedMeasured < 0.0 ||
        now - _tUntrackedMeasured >= s_cCommittedMemCacheSeconds) {
        if (_pfUntrackedProbe) {
            _nUntrackedMem = _pfUntrackedProbe();
        } else {
            // Tracked buffers are mostly resident already; counting them twice
            // would make the budget bite at half its size.
            const uint64_t resident = measureResidentMem();
            _nUntrackedMem = resident > tracked ? resident - tracked : 0;
        }
        _tUntrackedMeasured = now;
        _nMeasuredPid = pid;
    }
    return tracked + _nUntrackedMem;
}

void VqPlatform::setUntrackedMemProbe(UntrackedMemProbe probe) {
    VqAutoLock lock(_mutex);
    _pfUntrackedProbe = probe;
    _tUntrackedMeasured = -1.0;
}

bool VqPlatform::_setBudget(std::atomic<int>& budget, int n, const char* method, const char* refusal) {
    VqAutoLock lock(_mutex);
    if (n < 1 || (n > budget.load() && n > s_cMaxRaisedBudget))
        VQ_FAIL("VqPlatform", method, refusal, VQ_ERR_ARGUMENT);
    budget = n;
    return true;
}

bool VqPlatform::setStreamBudget(int n) {
    return _setBudget(_nStreamBudget, n, "setStreamBudget", "Stream budget request not possible");
}

bool VqPlatform::setCompressedRepHelperBudget(int n) {
    return _setBudget(_nCompressedRepHelperBudget, n, "setCompressedRepHelperBudget",
                      "Budget request not possible");
}

bool VqPlatform::setCodecDriver2Budget(int n) {
    return _setBudget(_nCodecDriver2Budget, n, "setCodecDriver2Budget", "Budget request not possible");
}

bool VqPlatform::setTopoMeshCoderBudget(int n) {
    return _setBudget(_nTopoMeshCoderBudget, n, "setTopoMeshCoderBudget", "Budget request not possible");
}

int VqPlatform::_poolThreadsFor(int maxTaskThreads) {
    if (maxTaskThreads != s_cNoThreadLimit)
        return std::min(maxTaskThreads, Vq::ThreadPool::s_cMaxPoolThreads);
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return static_cast<int>(std::clamp<long>(n, 1, Vq::ThreadPool::s_cMaxPoolThreads));
}

bool VqPlatform::setMaxTaskThreads(int n) {
    VQ_CHECK(n >= 0, "VqPlatform", "setMaxTaskThreads", VQ_ERR_ARGUMENT);
    Vq::ThreadPool* pool;
    {
        VqAutoLock lock(_mutex);
        pool = _pThreadPool;
    }
    // Resized outside the lock: the running tasks it waits for may ask for memory.
    if (pool) VQ_PROPAGATE(pool->setNumPoolThreads(_poolThreadsFor(n)));
    _nMaxTaskThreads = n;
    return true;
}

void VqPlatform::setCpuEnabledMask(uint64_t mask, bool bEnable) {
    if (bEnable)
        _nCpuEnabledMask.fetch_or(mask);
    else
        _nCpuEnabledMask.fetch_and(~mask);
}

Vq::ThreadPool* VqPlatform::threadPool() {
    VqAutoLock lock(_mutex);
    if (!_pThreadPool) {
        Vq::ThreadPool* pool = new Vq::ThreadPool;
        if (!pool) {
            VqErrorState::throwStdError("VqPlatform", "threadPool",
                                        "Allocation failed: pool = new Vq::ThreadPool", VQ_ERR_ALLOC);
            return nullptr;
        }
        if (!pool->setNumPoolThreads(_poolThreadsFor(_nMaxTaskThreads))) {
            delete pool;
            VqErrorState::rethrowError();
            return nullptr;
        }
        _pThreadPool = pool;
    }
    return _pThreadPool;
}

void VqPlatform::releaseThreadPool() {
    Vq::ThreadPool* pool;
    {
        VqAutoLock lock(_mutex);
        pool = _pThreadPool;
        _pThreadPool = nullptr;
    }
    // Joined outside the lock: a task still running may ask for memory.
    delete pool;
}
