#include "VqPartition.h"

#include "VqElementIO.h"
#include "VqErrorState.h"
#include "VqFSStorageLocation.h"
#include "VqFormatSettings.h"
#include "VqObjectStream.h"

#include <algorithm>

std::atomic<int> VqPartition::s_nPartitions{0};
std::vector<VqPartition::CallbackEntry>* VqPartition::s_pCallbacks = nullptr;

namespace {
// What the streams of the layer below need to know of their partition.
void datastoreVersionOf(const VqPartition* p, int& major, int& minor) {
    p->datastoreVersion(major, minor);
}
void setDataSkippedOf(VqPartition* p, bool skipped) {
    p->setDataSkipped(skipped);
}
const VqObjectStream::PartitionAccess s_access = {&datastoreVersionOf, &setDataSkippedOf};
} // namespace

bool VqPartition::init() {
    if (!s_pCallbacks) s_pCallbacks = new std::vector<CallbackEntry>();
    VqFormatSettings::reset();
    VqObjectStream::setPartitionAccess(&s_access);
    return s_pCallbacks != nullptr;
}

void VqPartition::fini() {
    VqObjectStream::setPartitionAccess(nullptr);
    delete s_pCallbacks;
    s_pCallbacks = nullptr;
    VqFormatSettings::reset();
}

bool VqPartition::addCallback(Callback fn, CallbackTime time, void* userData) {
    if (!fn) VQ_FAIL("VqPartition", "addCallback", "fn", VQ_ERR_ARGUMENT);
    if (!s_pCallbacks) VQ_FAIL("VqPartition", "addCallback", "s_pCallbacks", VQ_ERR_INTERNAL);
    for (const CallbackEntry& e : *s_pCallbacks)
        if (e.fn == fn && e.time == time && e.userData == userData) return true;
    s_pCallbacks->push_back({fn, time, userData});
    return true;
}

bool VqPartition::removeCallback(Callback fn, CallbackTime time, void* userData) {
    if (!s_pCallbacks) return true;
    auto& v = *s_pCallbacks;
    v.erase(std::remove_if(v.begin(), v.end(),
                           [&](const CallbackEntry& e) {
                               return e.fn == fn && e.time == time && e.userData == userData;
                           }),
            v.end());
    return true;
}

void VqPartition::_callCallbacks(CallbackTime time) {
    if (!s_pCallbacks) return;
    // A callback may add or remove callbacks: call a snapshot.
    std::vector<CallbackEntry> snapshot = *s_pCallbacks;
    for (const CallbackEntry& e : snapshot)
        if (e.time == time) e.fn(this, time, e.userData);
}

void VqPartition::_rethrowForFile(const VqStorageLocation* loc) {
    // A host that opens or saves many files needs to know which one failed:
    // the location field is where the error state keeps that, so the
    // descriptions stay as the operations below wrote them.
    VqString where;
    if (const auto* fs = Vq::typeCast<VqFSStorageLocation>(loc))
        where = fs->fullPath();
    else if (loc)
        loc->getName(where);
    if (where.numChars() > 0)
        VqErrorState::rethrowError(where);
    else
        VqErrorState::rethrowError();
}

// ---- process-wide settings ----------------------------------------------------

bool VqPartition::setVersion(int major, int minor) {
    return VqFormatSettings::setVersion(major, minor);
}
bool VqPartition::getVersion(int& major, int& minor) {
    return VqFormatSettings::getVersion(major, minor);
}
bool VqPartition::getVersion(int& major, int& minor, VqString& text) {
    return VqFormatSettings::getVersion(major, minor, text);
}
bool VqPartition::setMaxReadVersion(int major, int minor) {
    return VqFormatSettings::setMaxReadVersion(major, minor);
}
void VqPartition::getMaxReadVersion(int& major, int& minor) {
    VqFormatSettings::getMaxReadVersion(major, minor);
}
void VqPartition::getSupportedVQVersion(int& major, int& minor) {
    VqFormatSettings::getSupportedVersion(major, minor);
}
bool VqPartition::setCompressionAlgortihm(int algorithm) {
    return VqFormatSettings::setCompressionAlgorithm(algorithm);
}
int VqPartition::compressionAlgorithm() {
    return VqFormatSettings::compressionAlgorithm();
}
int VqPartition::propertyTableVersion() {
    return VqFormatSettings::propertyTableVersion();
}

// ---- elements -------------------------------------------------------------------

bool VqPartition::writeLogicalElementV10(VqObjectStream& os, const VqBase* obj) {
    return VqElementIO::writeLogicalElementV10(os, obj);
}
bool VqPartition::writeLogicalElementV9(VqObjectStream& os, const VqBase* obj) {
    return VqElementIO::writeLogicalElementV9(os, obj);
}
bool VqPartition::writeLogicalElement(VqObjectStream& os, const VqBase* obj) {
    return VqElementIO::writeLogicalElement(os, obj);
}
bool VqPartition::readLogicalElementV10(VqObjectStream& os, Vq::SharedPtr<VqBase>& out) {
    return VqElementIO::readLogicalElementV10(os, out);
}
bool VqPartition::readLogicalElementV9(VqObjectStream& os, VqBase*& out) {
    return VqElementIO::readLogicalElementV9(os, out);
}
bool VqPartition::readLogicalElement(VqObjectStream& os, VqBase*& out) {
    return VqElementIO::readLogicalElement(os, out);
}
bool VqPartition::writeElementV10(VqObjectStream& os, const VqBase* obj) {
    return VqElementIO::writeElementV10(os, obj);
}
bool VqPartition::writeElementV9(VqObjectStream& os, const VqBase* obj) {
    return VqElementIO::writeElementV9(os, obj);
}
bool VqPartition::writeElement(VqObjectStream& os, const VqBase* obj) {
    return VqElementIO::writeElement(os, obj);
}
bool VqPartition::readElementV10(VqObjectStream& os, Vq::SharedPtr<VqBase>& out) {
    return VqElementIO::readElementV10(os, out);
}
bool VqPartition::readElementV9(VqObjectStream& os, VqBase*& out) {
    return VqElementIO::readElementV9(os, out);
}
bool VqPartition::readElement(VqObjectStream& os, VqBase*& out) {
    return VqElementIO::readElement(os, out);
}
