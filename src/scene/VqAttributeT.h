#pragma once

#include "VqAttribute.h"
#include "VqErrorState.h"
#include "VqHashBuilder.h"
#include "VqRecord.h"
#include "VqString.h"

#include <cstring>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

// The value semantics of an attribute, derived from one list of its fields.
//
// A type declares
//     auto _fields() const { return std::tie(_iA, _fB, ...); }
// (a tuple of its fields, or of values computed from them), and gets
// equality, ordering, the hash and cloning from it, so that a field added to
// the list takes part in all four at once. Equality, ordering and the hash
// agree: plain values (numbers, enums, fixed arrays, vectors and matrices of
// numbers) are compared by their bytes, so equal attributes always hash
// alike (+0 and -0 differ; a NaN equals itself); strings and vectors by their
// elements; shared objects by identity, unless wrapped in Vq::byValue, which
// compares the objects themselves.
namespace Vq {

// A shared attribute that counts by what it holds, not by which object it is.
template <class T>
struct ByValue {
    const T* p;
};
template <class T>
ByValue<T> byValue(const Vq::SharedPtr<T>& ptr) {
    return ByValue<T>{ptr.get()};
}

namespace fields {

inline int sign(int c) { return c < 0 ? -1 : (c > 0 ? 1 : 0); }

template <class T>
constexpr bool kBytewise = std::is_trivially_copyable_v<T> && !std::is_pointer_v<T>;

template <class T>
    requires kBytewise<T>
bool equal(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}
template <class T>
    requires kBytewise<T>
int compare(const T& a, const T& b) {
    return sign(std::memcmp(&a, &b, sizeof(T)));
}
template <class T>
    requires kBytewise<T>
void hash(VqHashBuilder& h, const T& v) {
    h.add(v);
}

inline bool equal(const VqString& a, const VqString& b) { return a == b; }
inline int compare(const VqString& a, const VqString& b) { return a < b ? -1 : (b < a ? 1 : 0); }
inline void hash(VqHashBuilder& h, const VqString& v) { h.add(v.hash()); }

template <class T>
bool equal(const Vq::SharedPtr<T>& a, const Vq::SharedPtr<T>& b) {
    return a.get() == b.get();
}
template <class T>
int compare(const Vq::SharedPtr<T>& a, const Vq::SharedPtr<T>& b) {
    return a.get() < b.get() ? -1 : (b.get() < a.get() ? 1 : 0);
}
template <class T>
void hash(VqHashBuilder& h, const Vq::SharedPtr<T>& v) {
    h.addPtr(v.get());
}

// By value: both absent, or both present and equal; ordered by their hashes,
// which is enough for the sorted lists that need a total order.
template <class T>
bool equal(const ByValue<T>& a, const ByValue<T>& b) {
    if (a.p == b.p) return true;
    return a.p && b.p && a.p->isEqual(*b.p);
}
template <class T>
int compare(const ByValue<T>& a, const ByValue<T>& b) {
    if (equal(a, b)) return 0;
    if (!a.p || !b.p) return a.p ? 1 : -1;
    const uint32_t x = a.p->hashValue(), y = b.p->hashValue();
    return x < y ? -1 : (x > y ? 1 : (a.p < b.p ? -1 : 1));
}
template <class T>
void hash(VqHashBuilder& h, const ByValue<T>& v) {
    h.add(v.p ? v.p->hashValue() : 0u);
}

template <class T, class A>
bool equal(const std::vector<T, A>& a, const std::vector<T, A>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!equal(a[i], b[i])) return false;
    return true;
}
template <class T, class A>
int compare(const std::vector<T, A>& a, const std::vector<T, A>& b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    for (size_t i = 0; i < a.size(); ++i)
        if (int c = compare(a[i], b[i])) return c;
    return 0;
}
template <class T, class A>
void hash(VqHashBuilder& h, const std::vector<T, A>& v) {
    h.add(static_cast<uint64_t>(v.size()));
    if constexpr (kBytewise<T>) {
        if (!v.empty()) h.add(v.data(), v.size() * sizeof(T));
    } else {
        for (const T& e : v)
            hash(h, e);
    }
}

// Arrays of values that are not plain bytes (strings), element by element.
template <class T, size_t N>
    requires(!kBytewise<T[N]>)
bool equal(const T (&a)[N], const T (&b)[N]) {
    for (size_t i = 0; i < N; ++i)
        if (!equal(a[i], b[i])) return false;
    return true;
}
template <class T, size_t N>
    requires(!kBytewise<T[N]>)
int compare(const T (&a)[N], const T (&b)[N]) {
    for (size_t i = 0; i < N; ++i)
        if (int c = compare(a[i], b[i])) return c;
    return 0;
}
template <class T, size_t N>
    requires(!kBytewise<T[N]>)
void hash(VqHashBuilder& h, const T (&v)[N]) {
    for (size_t i = 0; i < N; ++i)
        hash(h, v[i]);
}

template <class Tuple>
bool equalAll(const Tuple& a, const Tuple& b) {
    return std::apply(
        [&](const auto&... x) { return std::apply([&](const auto&... y) { return (equal(x, y) && ...); }, b); }, a);
}
template <class Tuple>
int compareAll(const Tuple& a, const Tuple& b) {
    int c = 0;
    std::apply(
        [&](const auto&... x) {
            std::apply([&](const auto&... y) { (void)((c = compare(x, y), c == 0) && ...); }, b);
        },
        a);
    return c;
}
template <class Tuple>
void hashAll(VqHashBuilder& h, const Tuple& t) {
    std::apply([&](const auto&... x) { (hash(h, x), ...); }, t);
}

} // namespace fields
} // namespace Vq

// An attribute type whose record level and value semantics come from its
// _writeFields/_readFields and _fields. Parent is VqAttribute or another
// type made this way (whose fields come first in equality, ordering and hash).
template <class Derived, class Parent = VqAttribute>
class VqAttributeT : public Vq::Record<Derived, Parent> {
public:
    using Vq::Record<Derived, Parent>::Record;

    bool clone(VqAttribute*& out) const override {
        out = new Derived(static_cast<const Derived&>(*this));
        if (!out) {
            const std::string text = std::string("Allocation failed: out = new ") + Derived::classTypeID().name +
                                     "(*this)";
            VQ_FAIL(Derived::classTypeID().name, "clone", text.c_str(), VQ_ERR_ALLOC);
        }
        return true;
    }

    bool isEqualHook(const VqAttribute& o) const override {
        if constexpr (kParentHasFields)
            if (!Parent::isEqualHook(o)) return false;
        return Vq::fields::equalAll(_self()._fields(), static_cast<const Derived&>(o)._fields());
    }

    // Fields in order, then the hashes, which also cover the base part.
    int compareHook(const VqAttribute& o) const override {
        if constexpr (kParentHasFields) {
            if (int c = Parent::_compareFields(o)) return c;
        }
        if (int c = _compareFields(o)) return c;
        const uint32_t a = this->hashValue(), b = o.hashValue();
        return a < b ? -1 : (a > b ? 1 : 0);
    }

    void _updateHashVal() const override {
        Parent::_updateHashVal();
        VqHashBuilder h(this->_uHashVal);
        Vq::fields::hashAll(h, _self()._fields());
        this->_uHashVal = h.value();
    }

    int _compareFields(const VqAttribute& o) const {
        return Vq::fields::compareAll(_self()._fields(), static_cast<const Derived&>(o)._fields());
    }

private:
    template <class M>
    struct OwnerOf;
    template <class R, class C>
    struct OwnerOf<R (C::*)() const> {
        using type = C;
    };
    static constexpr bool kParentHasFields = requires(const Parent& p) { p._fields(); };
    const Derived& _self() const {
        // A type that forgot its list would inherit its parent's, and count it twice.
        static_assert(std::is_same_v<typename OwnerOf<decltype(&Derived::_fields)>::type, Derived>,
                      "each attribute type lists its own fields in _fields()");
        return static_cast<const Derived&>(*this);
    }
};
