#pragma once

#include "VqBase.h"
#include "VqErrorState.h"
#include "VqRequestEntry.h"
#include "VqRequestHandler.h"

#include <pthread.h>

#include <atomic>
#include <new>
#include <stdexcept>

// A small object kind of the tests' own, loaded by the residency request
// manager without any file: its entry counts loads and hook-ups, notes the
// threads they ran on, and fails, throws or waits for a gate when told to.
class Probe : public VqBase {
    VQ_DECLARE_TYPE(Probe)
public:
    enum class Fault { None, Fail, BadAlloc, Throw };

    explicit Probe(int id = 0) : nId(id) {}
    ~Probe() override { ++s_nDestroyed; }

    int nId;
    Fault eFault = Fault::None;
    // While set, a load waits until it is cleared.
    std::atomic<bool> bGate{false};
    std::atomic<bool> bInLoad{false};
    std::atomic<int> nLoads{0};
    std::atomic<int> nHookups{0};
    std::atomic<bool> bResident{false};
    pthread_t tLoadThread{};
    pthread_t tHookupThread{};
    // Hooked up by an execute for this document too.
    const VqBase* pDocument = nullptr;
    bool bThrowOnHookup = false;
    // Its entry starts asleep.
    bool bSleeps = false;
    // Where the probe came in the order of loads (-1 before its load).
    std::atomic<int> nLoadOrder{-1};

    static inline std::atomic<int> s_nDestroyed{0};
    static inline std::atomic<int> s_nLoadCounter{0};
};

class ProbeEntry : public VqRequestEntry {
public:
    explicit ProbeEntry(Probe* p) : VqRequestEntry(p) {}
    Probe* probe() const { return static_cast<Probe*>(object()); }

    bool handleEntry() override {
        Probe* p = probe();
        p->bInLoad = true;
        while (p->bGate.load())
            sched_yield();
        p->tLoadThread = pthread_self();
        p->nLoadOrder = Probe::s_nLoadCounter++;
        ++p->nLoads;
        switch (p->eFault) {
        case Probe::Fault::Fail:
            VQ_FAIL("ProbeEntry", "handleEntry", "Probe refused to load", VQ_ERR_CORRUPT);
        case Probe::Fault::BadAlloc:
            throw std::bad_alloc();
        case Probe::Fault::Throw:
            throw std::runtime_error("probe");
        case Probe::Fault::None:
            break;
        }
        return true;
    }
    bool hookupEntry() override {
        Probe* p = probe();
        p->tHookupThread = pthread_self();
        ++p->nHookups;
        if (p->bThrowOnHookup) throw std::runtime_error("probe");
        if (!failed()) p->bResident = true;
        return true;
    }
    Stage initialStage() const override { return probe()->bSleeps ? REQ_STAGE_SLEEPING : REQ_STAGE_PREFLT; }
    bool belongsTo(const VqBase* document) const override {
        return VqRequestEntry::belongsTo(document) || document == probe()->pDocument;
    }
};

class ProbeHandler : public Vq::RequestHandler {
public:
    bool isLoaded(const VqBase* object) const override {
        return static_cast<const Probe*>(object)->bResident;
    }
    bool createEntry(const VqRequestInfo& info, Vq::SharedPtr<VqRequestEntry>& out) override {
        out = new ProbeEntry(static_cast<Probe*>(info.object()));
        return out != nullptr;
    }
};
