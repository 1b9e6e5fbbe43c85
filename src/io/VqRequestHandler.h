#pragma once

#include "VqExport.h"
#include "VqRefCounted.h"
#include "VqRequestEntry.h"
#include "VqRequestInfo.h"
#include "VqSharedPtr.h"

class VqBase;
class VqRequestQueue;

namespace Vq {

// Knows one kind of late-loaded object for the residency request manager.
// The manager sits below the layers that define what can be loaded late
// (partitions in the scene layer, shapes in the geometry layer), so each of
// those layers registers a handler for its base type and the manager asks the
// handler of the most derived registered type of a requested object.
class VQ_API RequestHandler : public VqRefCounted {
public:
    // True when object is resident and a request for it needs nothing. Called
    // under the queue's lock from the requesting thread: it must be cheap and
    // must not call back into the manager.
    virtual bool isLoaded(const VqBase* object) const = 0;
    // A new entry for the request, not yet known to the queue. Runs on the
    // requesting thread, which may read the graph the object sits in.
    virtual bool createEntry(const VqRequestInfo& info, Vq::SharedPtr<VqRequestEntry>& out) = 0;
    // A new priority for an entry still waiting; by default it is queued.
    virtual bool updateEntry(VqRequestQueue& queue, VqRequestEntry* entry, float priority);
};

} // namespace Vq
