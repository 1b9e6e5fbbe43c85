#pragma once

#include "VqExport.h"
#include "VqRefCounted.h"
#include "VqSharedPtr.h"
#include "VqString.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <utility>
#include <vector>

namespace Vq {
namespace JSON {

enum JSONType : int {
    VQ_JSON_NULL = 0,
    VQ_JSON_OBJECT = 1,
    VQ_JSON_ARRAY = 2,
    VQ_JSON_STRING = 3,
    VQ_JSON_NUMBER = 4,
    VQ_JSON_BOOLEAN = 5
};

// Parsing and writing refuse documents nested deeper than this, so that
// hostile input cannot exhaust the stack.
constexpr int s_cMaxNestingDepth = 512;

class JSONObject;
class JSONArray;
class ObjectBuilder;
class NodeBlocks;
class JSONString;
class JSONNumber;
class JSONBoolean;

class VQ_API JSONBase : public VqRefCounted {
public:
    JSONBase() = default;
    // A copy is a node of its own, wherever the original lives.
    JSONBase(const JSONBase&) : VqRefCounted() {}
    JSONBase& operator=(const JSONBase&) { return *this; }

    virtual JSONType getType() const = 0;
    // A deep copy; throws Vq::StdException when memory runs out.
    virtual JSONBase* clone() const = 0;
    // Same kind and same content.
    virtual bool equals(const JSONBase& other) const = 0;

    // The parser places its nodes in shared blocks: a node is handed back to
    // its block, any other node to the platform allocator.
    void operator delete(JSONBase* p, std::destroying_delete_t) noexcept;
    using VqAllocHooked::operator delete;

private:
    friend class NodeBlocks;
    // Where the node lies in its block; 0 for a node allocated on its own.
    // It fills the padding after the reference count.
    uint32_t _nBlockOffset = 0;
};

// A shared JSON value; an empty value is null. The typed accessors throw
// Vq::StdException when the value is of another kind.
class VQ_API JSONValue {
public:
    JSONValue() = default;
    JSONValue(std::nullptr_t) {}
    JSONValue(JSONBase* p) : _p(p) {}
    JSONValue(SharedPtr<JSONBase>&& p) noexcept : _p(std::move(p)) {}
    // Values made from plain data; they throw Vq::StdException when memory runs out.
    JSONValue(double number);
    JSONValue(int number) : JSONValue(static_cast<double>(number)) {}
    JSONValue(bool boolean);
    JSONValue(const VqString& string);
    JSONValue(const char* string) : JSONValue(VqString(string)) {}

    bool isNull() const { return !_p; }
    JSONType getType() const { return _p ? _p->getType() : VQ_JSON_NULL; }
    JSONBase* get() const { return _p.get(); }

    JSONObject& object() const;
    JSONArray& array() const;
    VqString& string() const;
    double& number() const;
    bool& boolean() const;

    bool operator==(const JSONValue& o) const;
    bool operator!=(const JSONValue& o) const { return !(*this == o); }

private:
    SharedPtr<JSONBase> _p;
};

// Memory of member lists and value lists: carved from the blocks of the parse
// running on this thread, if any, otherwise from the platform allocator.
// Throws std::bad_alloc when memory runs out.
VQ_API void* allocateStorage(size_t bytes);
VQ_API void releaseStorage(void* p) noexcept;

template <class T>
struct StorageAllocator {
    typedef T value_type;
    static_assert(alignof(T) <= 8, "storage is aligned for pointers");

    StorageAllocator() noexcept = default;
    template <class U>
    StorageAllocator(const StorageAllocator<U>&) noexcept {}

    T* allocate(size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(allocateStorage(n * sizeof(T)));
    }
    void deallocate(T* p, size_t) noexcept { releaseStorage(p); }

    template <class U>
    bool operator==(const StorageAllocator<U>&) const noexcept {
        return true;
    }
};

// Cheap enough that the member index does not keep each name's hash beside
// it: names are short, and a word-at-a-time hash costs a fraction of the
// string's general one.
struct VQ_API JSONStringHash {
    size_t operator()(const VqString& s) const noexcept;
};

// Members in the order they were first added. They lie in one flat list: a
// node-based map cost an allocation per member and a rehash as it grew, and
// most objects have a handful of members, found faster by a scan. An object
// past a few members also keeps an index of positions by name.
class VQ_API JSONObject : public JSONBase {
public:
    typedef std::pair<VqString, JSONValue> Member;
    typedef std::vector<Member, StorageAllocator<Member>> MemberList;

    JSONType getType() const override { return VQ_JSON_OBJECT; }
    JSONBase* clone() const override;
    bool equals(const JSONBase& other) const override;

    // A member of the same name is replaced.
    void addMember(const VqString& name, const JSONValue& value) { (*this)[name] = value; }
    void addMember(VqString&& name, JSONValue&& value);
    bool hasMember(const VqString& name) const { return _find(name) >= 0; }
    // Null when there is no such member.
    JSONValue value(const VqString& name) const;
    // The member, added as null when it is missing. The reference holds
    // until a member is next added or removed.
    JSONValue& operator[](const VqString& name);
    bool removeMember(const VqString& name);
    int numMembers() const { return static_cast<int>(_members.size()); }
    // Room for n members in all, so that adding up to there does not move them.
    void reserve(int n) { _members.reserve(static_cast<size_t>(n)); }
    void clear() {
        _members.clear();
        _index.clear();
    }
    void swap(JSONObject& other) {
        _members.swap(other._members);
        _index.swap(other._index);
    }

    MemberList::const_iterator begin() const { return _members.begin(); }
    MemberList::const_iterator end() const { return _members.end(); }

private:
    // Position of the member, or -1.
    ptrdiff_t _find(const VqString& name) const;
    // Appends a member known to be new.
    void _append(VqString&& name, JSONValue&& value);
    // Fills an index of that many slots, a power of two.
    void _indexMembers(size_t slots);

    // The parser, which tells duplicate names apart on its own.
    friend class ObjectBuilder;

    MemberList _members;
    // Open addressing over a power-of-two count of slots, each a member's
    // position plus one (0 for a free slot); empty while the members are few.
    std::vector<uint32_t, StorageAllocator<uint32_t>> _index;
};

class VQ_API JSONArray : public JSONBase {
public:
    typedef std::vector<JSONValue, StorageAllocator<JSONValue>> ValueList;

    JSONType getType() const override { return VQ_JSON_ARRAY; }
    JSONBase* clone() const override;
    bool equals(const JSONBase& other) const override;

    void append(const JSONValue& value) { _values.push_back(value); }
    void append(JSONValue&& value) { _values.push_back(std::move(value)); }
    // Room for n values in all, so that appending up to there does not move them.
    void reserve(int n) { _values.reserve(static_cast<size_t>(n)); }
    int length() const { return static_cast<int>(_values.size()); }
    JSONValue& operator[](int i) { return _values[static_cast<size_t>(i)]; }
    const JSONValue& operator[](int i) const { return _values[static_cast<size_t>(i)]; }
    void clear() { _values.clear(); }
    void swap(JSONArray& other) { _values.swap(other._values); }

    ValueList::const_iterator begin() const { return _values.begin(); }
    ValueList::const_iterator end() const { return _values.end(); }

private:
    ValueList _values;
};

class VQ_API JSONString : public JSONBase {
public:
    explicit JSONString(const VqString& value = VqString()) : _value(value) {}
    JSONType getType() const override { return VQ_JSON_STRING; }
    JSONBase* clone() const override;
    bool equals(const JSONBase& other) const override;
    VqString& value() { return _value; }
    const VqString& value() const { return _value; }

private:
    VqString _value;
};

class VQ_API JSONNumber : public JSONBase {
public:
    explicit JSONNumber(double value = 0.0) : _value(value) {}
    JSONType getType() const override { return VQ_JSON_NUMBER; }
    JSONBase* clone() const override;
    bool equals(const JSONBase& other) const override;
    double& value() { return _value; }
    double value() const { return _value; }

private:
    double _value;
};

class VQ_API JSONBoolean : public JSONBase {
public:
    explicit JSONBoolean(bool value = false) : _value(value) {}
    JSONType getType() const override { return VQ_JSON_BOOLEAN; }
    JSONBase* clone() const override;
    bool equals(const JSONBase& other) const override;
    bool& value() { return _value; }
    bool value() const { return _value; }

private:
    bool _value;
};

// Recursive-descent reader. Numbers and text are read the same whatever
// locale the host has set. A failed parse records "JSON syntax error:  <what>:
// <text from the error on>" (code 8) and leaves the target untouched.
class VQ_API JSONParser {
public:
    explicit JSONParser(const VqString& text);
    // Text in UTF-8, read in place when parse() runs: the bytes must stay
    // alive and unchanged until then. Bytes that are not valid UTF-8 make
    // every parse fail.
    JSONParser(const char* utf8, size_t length);

    bool parse(JSONObject& out);
    bool parse(JSONArray& out);

private:
    template <class T>
    bool _parseTop(T& out, unsigned short open, const char* expected);

    VqString _strText;
    const char* _pUtf8 = nullptr;
    size_t _nUtf8 = 0;
    bool _bUtf8 = false;
};

// Writes objects as "{", a line feed, the members as `"name" : value`
// separated by "," and a line feed, a line feed and "}"; arrays as "[", the
// values separated by ", " and "]"; numbers as "%.10lg" does in the C locale.
class VQ_API JSONWriter {
public:
    JSONWriter() = default;
    bool serialize(VqString& out, const JSONObject& object);
    bool serialize(VqString& out, const JSONArray& array);
};

} // namespace JSON
} // namespace Vq
