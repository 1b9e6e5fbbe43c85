#pragma once

#include "VqExport.h"
#include "VqHashMap.h"
#include "VqRefCounted.h"
#include "VqSharedPtr.h"
#include "VqString.h"

#include <cstddef>
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
class JSONString;
class JSONNumber;
class JSONBoolean;

class VQ_API JSONBase : public VqRefCounted {
public:
    virtual JSONType getType() const = 0;
    // A deep copy; throws Vq::StdException when memory runs out.
    virtual JSONBase* clone() const = 0;
    // Same kind and same content.
    virtual bool equals(const JSONBase& other) const = 0;
};

// A shared JSON value; an empty value is null. The typed accessors throw
// Vq::StdException when the value is of another kind.
class VQ_API JSONValue {
public:
    JSONValue() = default;
    JSONValue(std::nullptr_t) {}
    JSONValue(JSONBase* p) : _p(p) {}
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

struct VQ_API JSONStringHash {
    size_t operator()(const VqString& s) const { return s.hash(); }
};

// Members in the hash map's order, not in the order they were added.
class VQ_API JSONObject : public JSONBase {
public:
    typedef VqHashMap<VqString, JSONValue, JSONStringHash> MemberMap;

    JSONType getType() const override { return VQ_JSON_OBJECT; }
    JSONBase* clone() const override;
    bool equals(const JSONBase& other) const override;

    // A member of the same name is replaced.
    void addMember(const VqString& name, const JSONValue& value) { _members[name] = value; }
    bool hasMember(const VqString& name) const { return _members.find(name) != _members.end(); }
    // Null when there is no such member.
    JSONValue value(const VqString& name) const;
    // The member, added as null when it is missing.
    JSONValue& operator[](const VqString& name) { return _members[name]; }
    bool removeMember(const VqString& name) { return _members.erase(name) > 0; }
    int numMembers() const { return static_cast<int>(_members.size()); }
    void clear() { _members.clear(); }
    void swap(JSONObject& other) { _members.swap(other._members); }

    MemberMap::const_iterator begin() const { return _members.begin(); }
    MemberMap::const_iterator end() const { return _members.end(); }

private:
    MemberMap _members;
};

class VQ_API JSONArray : public JSONBase {
public:
    JSONType getType() const override { return VQ_JSON_ARRAY; }
    JSONBase* clone() const override;
    bool equals(const JSONBase& other) const override;

    void append(const JSONValue& value) { _values.push_back(value); }
    int length() const { return static_cast<int>(_values.size()); }
    JSONValue& operator[](int i) { return _values[static_cast<size_t>(i)]; }
    const JSONValue& operator[](int i) const { return _values[static_cast<size_t>(i)]; }
    void clear() { _values.clear(); }
    void swap(JSONArray& other) { _values.swap(other._values); }

    std::vector<JSONValue>::const_iterator begin() const { return _values.begin(); }
    std::vector<JSONValue>::const_iterator end() const { return _values.end(); }

private:
    std::vector<JSONValue> _values;
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
    // Text in UTF-8; bytes that are not valid UTF-8 make every parse fail.
    JSONParser(const char* utf8, size_t length);

    bool parse(JSONObject& out);
    bool parse(JSONArray& out);

private:
    template <class T>
    bool _parseTop(T& out, unsigned short open, const char* expected);

    VqString _strText;
    // Set when the UTF-8 input could not be decoded, with the bytes from the
    // first bad one on, as the error shows them.
    bool _bBadUtf8 = false;
    std::string _strBadUtf8Rest;
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
