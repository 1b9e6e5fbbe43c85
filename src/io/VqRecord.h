#pragma once

#include "VqErrorState.h"
#include "VqExport.h"
#include "VqFormatSettings.h"
#include "VqObjectStream.h"
#include "VqStdException.h"

#include <type_traits>

namespace Vq {

// The format version an element is written or read in.
struct VQ_API RecordFormat {
    int major = -1;
    int minor = -1;

    // The generations whose elements are framed differently: 0 for the
    // formats before 9 (no local versions, own object IDs in the data),
    // then 9 (16-bit local versions) and 10 (8-bit local versions).
    int generation() const { return major >= 10 ? 10 : major == 9 ? 9 : 0; }
    bool atLeast(int ma, int mi) const { return major > ma || (major == ma && minor >= mi); }
    bool before(int ma, int mi) const { return !atLeast(ma, mi); }
};

// One level of an element's record: the fields that class Derived adds to
// those of Parent. Derived declares its fields once, in
//     bool _writeFields(VqObjectStream&, const Vq::RecordFormat&) const;
//     bool _readFields(VqObjectStream&, const Vq::RecordFormat&, int localVersion);
// with the branches for each format inside, and may declare
//     int _localVersion(const Vq::RecordFormat&) const;
// when a layout of its level has a local version other than 1. This base
// defines the version hooks: each writes the parent's level first (when the
// parent is a record level too), then this level's local version (a 16-bit
// integer in format 9, an 8-bit one in format 10, none before 9), then the
// fields; readers refuse a local version below 1 ("iLocalVers >= 1").
//
// Every level overrides the same hooks (64, 90 and 100 for writing; base, 90
// and 100 for reading), which the version dispatch reaches for every format:
// a level therefore never meets its parent's hooks falling through to its
// own overrides, and calls the parent's hook of the same version directly.
template <class Derived, class Parent>
class Record : public Parent {
public:
    using Parent::Parent;
    static constexpr bool s_bRecordLevel = true;

    // A writer hook meets a stream of its own generation only: a stream of
    // another would get a layout its readers do not expect. That is a
    // caller's mistake, not a condition of the data, so it is thrown (and
    // recorded by serializeVersion).
    bool _serializeVQ64virtual(VqObjectStream& os) const override {
        if (writeFormat(os).generation() != 0) VQ_THROW("iMaj < 9", VQ_ERR_INTERNAL);
        if constexpr (kParentIsRecord)
            if (_self()._parentLevelIn(writeFormat(os))) VQ_PROPAGATE(Parent::_serializeVQ64virtual(os));
        return _writeLevel(os);
    }
    bool _serializeVQ90virtual(VqObjectStream& os) const override {
        if (writeFormat(os).generation() != 9) VQ_THROW("iMaj == 9", VQ_ERR_INTERNAL);
        if constexpr (kParentIsRecord)
            if (_self()._parentLevelIn(writeFormat(os))) VQ_PROPAGATE(Parent::_serializeVQ90virtual(os));
        return _writeLevel(os);
    }
    bool _serializeVQ100virtual(VqObjectStream& os) const override {
        if (writeFormat(os).generation() != 10) VQ_THROW("iMaj >= 10", VQ_ERR_INTERNAL);
        if constexpr (kParentIsRecord)
            if (_self()._parentLevelIn(writeFormat(os))) VQ_PROPAGATE(Parent::_serializeVQ100virtual(os));
        return _writeLevel(os);
    }
    bool _deserializeVQvirtual(VqObjectStream& os) override {
        if constexpr (kParentIsRecord)
            if (_self()._parentLevelIn(readFormat(os))) VQ_PROPAGATE(Parent::_deserializeVQvirtual(os));
        return _readLevel(os);
    }
    bool _deserializeVQ90virtual(VqObjectStream& os) override {
        if constexpr (kParentIsRecord)
            if (_self()._parentLevelIn(readFormat(os))) VQ_PROPAGATE(Parent::_deserializeVQ90virtual(os));
        return _readLevel(os);
    }
    bool _deserializeVQ100virtual(VqObjectStream& os) override {
        if constexpr (kParentIsRecord)
            if (_self()._parentLevelIn(readFormat(os))) VQ_PROPAGATE(Parent::_deserializeVQ100virtual(os));
        return _readLevel(os);
    }

    // What a level may say otherwise, by declaring the same function:
    // the local version it writes;
    int _localVersion(const RecordFormat&) const { return 1; }
    // whether a local version opens it (by default in formats 9 and 10; one
    // before 9 is 16-bit, as in 9); a reader may decide this from what the
    // levels before it read;
    bool _localVersionIn(const RecordFormat& f) const { return f.generation() != 0; }
    // whether the parent's level comes before it (a few levels stand alone in
    // some formats).
    bool _parentLevelIn(const RecordFormat&) const { return true; }

    // The format being written: the stream's version, which the stream
    // manager gives every stream of a file; a stream that knows none is
    // written in the version of the settings (those of the calling thread's
    // save, if one is running), as the dispatch of serialize does.
    static RecordFormat writeFormat(const VqObjectStream& os) {
        RecordFormat f;
        os.getVersion(f.major, f.minor);
        if (f.major < 0) VqFormatSettings::getVersion(f.major, f.minor);
        return f;
    }
    static RecordFormat readFormat(const VqObjectStream& os) {
        RecordFormat f;
        os.getVersion(f.major, f.minor);
        return f;
    }

protected:
    // Formats before 9 carry the object ID of objects that others refer to
    // in their data: the writer stores the object's ID, the reader registers
    // the object at once.
    bool _writeOwnId(VqObjectStream& os) const {
        int id = -1;
        VQ_PROPAGATE(os.ptr2num(static_cast<const VqBase*>(this), &id));
        return os.write(id);
    }
    bool _readOwnId(VqObjectStream& os) {
        int id = -1;
        VQ_PROPAGATE(os.read(&id));
        bool ok = true;
        VQ_PROPAGATE(os.registerPtr(static_cast<const VqBase*>(this), id, &ok));
        return true;
    }

private:
    // The class that declares a member function: a level that forgot its own
    // field functions would inherit its parent's and write them twice.
    template <class M>
    struct OwnerOf;
    template <class R, class C, class... A>
    struct OwnerOf<R (C::*)(A...) const> {
        using type = C;
    };
    template <class R, class C, class... A>
    struct OwnerOf<R (C::*)(A...)> {
        using type = C;
    };
    const Derived& _self() const { return static_cast<const Derived&>(*this); }

    // A parent that is not a record level writes nothing of its own, and its
    // hooks must not be called: they would fall through to this level's.
    static constexpr bool kParentIsRecord = requires { Parent::s_bRecordLevel; };

    bool _writeLevel(VqObjectStream& os) const {
        static_assert(!std::is_base_of_v<typename OwnerOf<decltype(&Derived::_writeFields)>::type, Parent>,
                      "each record level declares its own _writeFields");
        const Derived& self = _self();
        const RecordFormat f = writeFormat(os);
        bool ok = true;
        if (self._localVersionIn(f)) {
            if (f.generation() == 10)
                ok = os.write(static_cast<unsigned char>(self._localVersion(f)));
            else
                ok = os.write(static_cast<short>(self._localVersion(f)));
        }
        if (!ok || !self._writeFields(os, f)) {
            VqErrorState::rethrowError();
            return false;
        }
        return true;
    }

    bool _readLevel(VqObjectStream& os) {
        static_assert(!std::is_base_of_v<typename OwnerOf<decltype(&Derived::_readFields)>::type, Parent>,
                      "each record level declares its own _readFields");
        const RecordFormat f = readFormat(os);
        int lv = 0;
        bool ok = true;
        const char* method = nullptr;
        if (_self()._localVersionIn(f)) {
            if (f.generation() == 10) {
                unsigned char v = 0;
                ok = os.read(&v);
                lv = v;
                method = "_deserializeVQ100virtual";
            } else {
                short v = 0;
                ok = os.read(&v);
                lv = v;
                method = f.generation() == 9 ? "_deserializeVQ90virtual" : "_deserializeVQvirtual";
            }
        }
        if (!ok) {
            VqErrorState::rethrowError();
            return false;
        }
        if (method && lv < 1)
            VQ_FAIL(Derived::classTypeID().name, method, "iLocalVers >= 1", VQ_ERR_INTERNAL);
        if (!static_cast<Derived&>(*this)._readFields(os, f, lv)) {
            VqErrorState::rethrowError();
            return false;
        }
        return true;
    }
};

} // namespace Vq
