#include "VqLib.h"

#include "VqBase.h"
#include "VqBuildConfig.h"
#include "VqByteStream.h"
#include "VqClassRegistry.h"
#include "VqCompressor.h"
#include "VqDeeringNormalLookupTable.h"
#include "VqElementIO.h"
#include "VqErrorState.h"
#include "VqGlobalObjectAliasTable.h"
#include "VqLateLoadedPropAtom.h"
#include "VqMemBlockPool.h"
#include "VqModelContext.h"
#include "VqNode.h"
#include "VqObjectStream.h"
#include "VqPartition.h"
#include "VqPlatform.h"
#include "VqResidencyRequestManager.h"
#include "VqScratchMgr.h"
#include "VqState.h"
#include "VqStdError.h"
#include "VqStorageManager.h"
#include "VqStringPropAtom.h"
#include "VqUnknownInfo.h"

int VqLib::_refCount = 0;
VqBuildInfo VqLib::_tBuildInfo;

// Start-up order. Managers and services that belong to later subsystems take
// their place here as they land; keep the numbered steps in this order.
bool VqLib::init() {
    if (++_refCount > 1) return true;

    // 1. The platform: allocation hooks and memory accounting.
    if (!VqPlatform::EnsureInstance()) {
        --_refCount;
        return false;
    }
    // 2. Support services: strings, threads, memory pool, GUIDs, base object,
    //    property bases, byte and object streams.
    VqString::init();
    VqMemBlockPool::init();
    VqBase::init();
    VqByteStream::init();
    VqStringPropAtom::init();
    VqNode::init();
    // 3. Geometry coders, segment compressor; then the error state.
    const bool codersUp = VqCompressor::init();
    VqErrorState::init();
    // 4. Process-wide singletons.
    if (!VqResidencyRequestManagerSingleton::EnsureInstance()) {
        Vq::SharedPtr<VqStdError> error = VqErrorState::currentError();
        _refCount = 1;
        fini();
        VqErrorState::setError(error.get());
        return false;
    }
    // 5. Every class registers with the factory.
    // 6. Per-class statics that need the registered types.
    //    In their order: global object alias table, normal lookup table,
    //    storage manager, scratch manager.
    if (!codersUp || !Vq::GlobalObjectAliasTable::EnsureInstance() ||
        !VqDeeringNormalLookupTableSingleton::EnsureInstance() ||
        !VqStorageManagerSingleton::EnsureInstance() || !Vq::ScratchMgr::EnsureInstance() ||
        !VqClassRegistry::registerAll() || !VqUnknownInfo::registerPlaceholders() || !VqPartition::init() ||
        !VqLateLoadedPropAtom::init() || !VqState::init()) {
        // Leave nothing half up: the next init starts from scratch.
        Vq::SharedPtr<VqStdError> error = VqErrorState::currentError();
        _refCount = 1;
        fini();
        VqErrorState::setError(error.get());
        return false;
    }
    // 7. Background threads.
    // 8. Build information.
    _tBuildInfo.nMajor = VQ_VERSION_MAJOR;
    _tBuildInfo.nMinor = VQ_VERSION_MINOR;
    _tBuildInfo.nPatch = VQ_VERSION_PATCH;
    _tBuildInfo.strVersion = VQ_VERSION_STRING;
#ifdef NDEBUG
    _tBuildInfo.strStatus = "release";
#else
    _tBuildInfo.strStatus = "debug";
#endif
    _tBuildInfo.strBuild = "g++ " __VERSION__ ", " __DATE__;
    return true;
}

// Shutdown order: the reverse of start-up.
bool VqLib::fini() {
    if (_refCount <= 0) return true;
    if (--_refCount > 0) return true;

    // 1. Disposable-object threads stop; the loader threads stop, and the
    //    requests still known are dropped while every class is still there.
    VqResidencyRequestManagerSingleton::Release();
    // 2. Byte streams still open are closed.
    VqByteStream::s_reapOpenStreamList();
    // 3. The error state is cleared.
    VqErrorState::clearError();
    // 4. Singletons are released.
    Vq::ScratchMgr::ReleaseInstance();
    VqStorageManagerSingleton::Release();
    Vq::GlobalObjectAliasTable::DestroyInstance();
    // 5. Per-class statics and coders are finalised.
    Vq::ModelContext::fini();
    VqState::fini();
    VqLateLoadedPropAtom::fini();
    VqPartition::fini();
    VqElementIO::clearPlaceholderMakers();
    VqCompressor::fini();
    // 6. Every class unregisters.
    bool ok = VqClassRegistry::unregisterAll();
    // 7. Base object, GUIDs, memory pool, threads, error state, strings; the
    //    platform's thread pool last.
    VqObjectStream::fini();
    VqByteStream::fini();
    VqNode::fini();
    VqStringPropAtom::fini();
    VqBase::fini();
    VqMemBlockPool::fini();
    VqErrorState::fini();
    _tBuildInfo = VqBuildInfo();
    VqString::fini();
    g_pInstanceVqPlatform->releaseThreadPool();
    return ok;
}
