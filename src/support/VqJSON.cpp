#include "VqJSON.h"

#include "VqErrorState.h"
#include "VqStdException.h"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale.h>
#include <string>
#include <type_traits>
#include <utility>

namespace Vq {
namespace JSON {

namespace {

typedef unsigned short Unit;

// The part of the remaining text an error shows: enough to find the place,
// without copying a whole large document into the message.
constexpr size_t s_cErrorContextUnits = 256;

template <class T, class... Args>
T* makeNode(const char* failure, Args&&... args) {
    T* p = new T(std::forward<Args>(args)...);
    if (!p) throw StdException(__PRETTY_FUNCTION__, failure, VQ_ERR_ALLOC);
    return p;
}

// Descriptions and positions of syntax errors, turned into the recorded
// error at the parser's boundary.
struct SyntaxError {
    const char* description;
    size_t pos;
};

// Overflow of a number needs the C library's answer to tell it from an
// underflow; that call gets a fixed C locale, never the process's.
locale_t cLocale() {
    static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

class Reader {
public:
    Reader(const Unit* text, size_t length) : _p(text), _n(length) {}

    void skipWhitespace() {
        while (_pos < _n && (_p[_pos] == ' ' || _p[_pos] == '\t' || _p[_pos] == '\n' || _p[_pos] == '\r'))
            ++_pos;
    }
    bool atEnd() const { return _pos >= _n; }
    Unit peek() const { return _pos < _n ? _p[_pos] : 0; }
    size_t pos() const { return _pos; }

    [[noreturn]] void fail(const char* description) const { throw SyntaxError{description, _pos}; }

    void readObject(JSONObject& out, int depth) {
        if (depth > s_cMaxNestingDepth) fail("Nesting too deep");
        ++_pos; // the opening brace
        skipWhitespace();
        if (peek() == '}') {
            ++_pos;
            return;
        }
        for (;;) {
            skipWhitespace();
            if (peek() != '"') fail("Expected a member");
            VqString name = readString();
            skipWhitespace();
            if (peek() != ':') fail("Expected a colon");
            ++_pos;
            out.addMember(name, readValue(depth));
            skipWhitespace();
            if (peek() == ',') {
                ++_pos;
                continue;
            }
            if (peek() == '}') {
                ++_pos;
                return;
            }
            fail("Expected a comma or object terminator");
        }
    }

    void readArray(JSONArray& out, int depth) {
        if (depth > s_cMaxNestingDepth) fail("Nesting too deep");
        ++_pos; // the opening bracket
        skipWhitespace();
        if (peek() == ']') {
            ++_pos;
            return;
        }
        for (;;) {
            out.append(readValue(depth));
            skipWhitespace();
            if (peek() == ',') {
                ++_pos;
                continue;
            }
            if (peek() == ']') {
                ++_pos;
                return;
            }
            fail("Expected comma or array terminator");
        }
    }

private:
    JSONValue readValue(int depth) {
        skipWhitespace();
        switch (peek()) {
        case '{': {
            JSONObject* o = makeNode<JSONObject>("Allocation failed: new JSONObject");
            JSONValue v(o);
            readObject(*o, depth + 1);
            return v;
        }
        case '[': {
            JSONArray* a = makeNode<JSONArray>("Allocation failed: new JSONArray");
            JSONValue v(a);
            readArray(*a, depth + 1);
            return v;
        }
        case '"':
            return JSONValue(makeNode<JSONString>("Allocation failed: new JSONString", readString()));
        case 't':
            if (matchLiteral("true"))
                return JSONValue(makeNode<JSONBoolean>("Allocation failed: new JSONBoolean", true));
            break;
        case 'f':
            if (matchLiteral("false"))
                return JSONValue(makeNode<JSONBoolean>("Allocation failed: new JSONBoolean", false));
            break;
        case 'n':
            if (matchLiteral("null")) return JSONValue();
            break;
        default:
            if (isNumberChar(peek()))
                return JSONValue(makeNode<JSONNumber>("Allocation failed: new JSONNumber", readNumber()));
            break;
        }
        fail("Expected a value");
    }

    bool matchLiteral(const char* literal) {
        size_t i = 0;
        for (; literal[i]; ++i)
            if (_pos + i >= _n || _p[_pos + i] != static_cast<Unit>(literal[i])) return false;
        _pos += i;
        return true;
    }

    static bool isNumberChar(Unit c) {
        return (c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-';
    }

    static int hexDigit(Unit c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    // The longest run of number characters, which must convert as a whole.
    double readNumber() {
        const size_t start = _pos;
        size_t end = _pos;
        while (end < _n && isNumberChar(_p[end]))
            ++end;
        _digits.assign(end - start, '\0');
        for (size_t i = start; i < end; ++i)
            _digits[i - start] = static_cast<char>(_p[i]);
        const char* first = _digits.data();
        const char* last = first + _digits.size();
        // A leading plus is part of the accepted form; the conversion below
        // takes only a minus.
        if (first != last && *first == '+' && first + 1 != last && first[1] != '-' && first[1] != '+')
            ++first;
        double value = 0.0;
        auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
        if (ec == std::errc::result_out_of_range && ptr == last) {
            locale_t loc = cLocale();
            if (!loc) fail("Number out of range");
            char* stop = nullptr;
            value = strtod_l(first, &stop, loc);
            if (std::isinf(value)) fail("Number out of range");
        } else if (ec != std::errc() || ptr != last) {
            fail("Invalid number");
        }
        _pos = end;
        return value;
    }

    VqString readString() {
        const size_t start = _pos;
        ++_pos; // the opening quote
        _buf.clear();
        for (;;) {
            // Copy the plain run up to the next quote or backslash at once.
            size_t run = _pos;
            while (run < _n && _p[run] != '"' && _p[run] != '\\')
                ++run;
            _buf.append(reinterpret_cast<const char16_t*>(_p + _pos), run - _pos);
            _pos = run;
            if (_pos < _n && _p[_pos] == '"') {
                ++_pos;
                break;
            }
            // At the end, or at a backslash with nothing after it.
            if (_pos + 1 >= _n) {
                _pos = start;
                fail("Unterminated string");
            }
            const size_t escape = _pos;
            const Unit c = _p[_pos + 1];
            _pos += 2;
            switch (c) {
            case '"':
                _buf.push_back(u'"');
                break;
            case '\\':
                _buf.push_back(u'\\');
                break;
            case '/':
                _buf.push_back(u'/');
                break;
            case 'b':
                _buf.push_back(u'\b');
                break;
            case 'f':
                _buf.push_back(u'\f');
                break;
            case 'n':
                _buf.push_back(u'\n');
                break;
            case 'r':
                _buf.push_back(u'\r');
                break;
            case 't':
                _buf.push_back(u'\t');
                break;
            case 'u': {
                unsigned unit = 0;
                for (int i = 0; i < 4; ++i) {
                    int d = _pos + i < _n ? hexDigit(_p[_pos + i]) : -1;
                    if (d < 0) {
                        _pos = escape;
                        fail("Expected unicode sequence");
                    }
                    unit = unit * 16 + static_cast<unsigned>(d);
                }
                _pos += 4;
                _buf.push_back(static_cast<char16_t>(unit));
                break;
            }
            default:
                // Unknown escapes keep their backslash.
                _buf.push_back(u'\\');
                _buf.push_back(static_cast<char16_t>(c));
                break;
            }
        }
        VqString s;
        if (!_buf.empty() &&
            !s.setString(reinterpret_cast<const unsigned short*>(_buf.data()), static_cast<int>(_buf.size())))
            throw StdException(__PRETTY_FUNCTION__, "Allocation failed: string", VQ_ERR_ALLOC);
        return s;
    }

    const Unit* _p;
    size_t _n;
    size_t _pos = 0;
    std::u16string _buf;
    std::string _digits;
};

// Strict UTF-8 to UTF-16: no overlong forms, no surrogates, nothing above
// U+10FFFF. Returns the offset of the first bad byte, or length when all are good.
size_t decodeUtf8(const unsigned char* s, size_t length, std::u16string& out) {
    out.clear();
    out.reserve(length);
    size_t i = 0;
    while (i < length) {
        const unsigned c = s[i];
        if (c < 0x80) {
            out.push_back(static_cast<char16_t>(c));
            ++i;
            continue;
        }
        size_t extra;
        unsigned cp, min;
        if ((c & 0xE0) == 0xC0) {
            extra = 1, cp = c & 0x1F, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, cp = c & 0x0F, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, cp = c & 0x07, min = 0x10000;
        } else {
            return i;
        }
        if (extra >= length - i) return i;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned cc = s[i + k];
            if ((cc & 0xC0) != 0x80) return i;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += extra + 1;
    }
    return length;
}

void recordSyntaxError(const char* description, const std::string& rest) {
    std::string message = std::string("JSON syntax error:  ") + description + ":  " + rest;
    VqErrorState::throwStdError("Vq::JSON::JSONParser", "parse", message.c_str(), VQ_ERR_CORRUPT);
}

} // namespace

// ---- values

static void throwKind(const char* condition) {
    throw StdException(__PRETTY_FUNCTION__, condition, VQ_ERR_ARGUMENT);
}

JSONValue::JSONValue(double number) : _p(makeNode<JSONNumber>("Allocation failed: new JSONNumber", number)) {}
JSONValue::JSONValue(bool boolean)
    : _p(makeNode<JSONBoolean>("Allocation failed: new JSONBoolean", boolean)) {}
JSONValue::JSONValue(const VqString& string)
    : _p(makeNode<JSONString>("Allocation failed: new JSONString", string)) {}

JSONObject& JSONValue::object() const {
    if (!(_p && _p->getType() == VQ_JSON_OBJECT)) throwKind("_p && _p->getType()==VQ_JSON_OBJECT");
    return static_cast<JSONObject&>(*_p);
}
JSONArray& JSONValue::array() const {
    if (!(_p && _p->getType() == VQ_JSON_ARRAY)) throwKind("_p && _p->getType()==VQ_JSON_ARRAY");
    return static_cast<JSONArray&>(*_p);
}
VqString& JSONValue::string() const {
    if (!(_p && _p->getType() == VQ_JSON_STRING)) throwKind("_p && _p->getType()==VQ_JSON_STRING");
    return static_cast<JSONString&>(*_p).value();
}
double& JSONValue::number() const {
    if (!(_p && _p->getType() == VQ_JSON_NUMBER)) throwKind("_p && _p->getType()==VQ_JSON_NUMBER");
    return static_cast<JSONNumber&>(*_p).value();
}
bool& JSONValue::boolean() const {
    if (!(_p && _p->getType() == VQ_JSON_BOOLEAN)) throwKind("_p && _p->getType()==VQ_JSON_BOOLEAN");
    return static_cast<JSONBoolean&>(*_p).value();
}

bool JSONValue::operator==(const JSONValue& o) const {
    if (!_p || !o._p) return !_p && !o._p;
    return _p == o._p || _p->equals(*o._p);
}

JSONValue JSONObject::value(const VqString& name) const {
    const JSONValue* v = _members.lookup(name);
    return v ? *v : JSONValue();
}

static JSONValue cloneValue(const JSONValue& v) {
    return v.isNull() ? JSONValue() : JSONValue(v.get()->clone());
}

JSONBase* JSONObject::clone() const {
    JSONObject* copy = makeNode<JSONObject>("Allocation failed: new JSONObject");
    try {
        for (const auto& [name, value] : _members)
            copy->addMember(name, cloneValue(value));
    } catch (...) {
        delete copy;
        throw;
    }
    return copy;
}

bool JSONObject::equals(const JSONBase& other) const {
    if (other.getType() != VQ_JSON_OBJECT) return false;
    const JSONObject& o = static_cast<const JSONObject&>(other);
    if (o._members.size() != _members.size()) return false;
    for (const auto& [name, value] : _members) {
        const JSONValue* v = o._members.lookup(name);
        if (!v || !(*v == value)) return false;
    }
    return true;
}

JSONBase* JSONArray::clone() const {
    JSONArray* copy = makeNode<JSONArray>("Allocation failed: new JSONArray");
    try {
        copy->_values.reserve(_values.size());
        for (const JSONValue& v : _values)
            copy->_values.push_back(cloneValue(v));
    } catch (...) {
        delete copy;
        throw;
    }
    return copy;
}

bool JSONArray::equals(const JSONBase& other) const {
    if (other.getType() != VQ_JSON_ARRAY) return false;
    const JSONArray& o = static_cast<const JSONArray&>(other);
    if (o._values.size() != _values.size()) return false;
    for (size_t i = 0; i < _values.size(); ++i)
        if (!(_values[i] == o._values[i])) return false;
    return true;
}

JSONBase* JSONString::clone() const {
    return makeNode<JSONString>("Allocation failed: new JSONString", _value);
}
bool JSONString::equals(const JSONBase& other) const {
    return other.getType() == VQ_JSON_STRING && static_cast<const JSONString&>(other)._value == _value;
}

JSONBase* JSONNumber::clone() const {
    return makeNode<JSONNumber>("Allocation failed: new JSONNumber", _value);
}
bool JSONNumber::equals(const JSONBase& other) const {
    return other.getType() == VQ_JSON_NUMBER && static_cast<const JSONNumber&>(other)._value == _value;
}

JSONBase* JSONBoolean::clone() const {
    return makeNode<JSONBoolean>("Allocation failed: new JSONBoolean", _value);
}
bool JSONBoolean::equals(const JSONBase& other) const {
    return other.getType() == VQ_JSON_BOOLEAN && static_cast<const JSONBoolean&>(other)._value == _value;
}

// ---- parser

JSONParser::JSONParser(const VqString& text) : _strText(text) {}

JSONParser::JSONParser(const char* utf8, size_t length) {
    std::u16string units;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(utf8);
    const size_t bad = utf8 ? decodeUtf8(bytes, length, units) : 0;
    if (utf8 && bad < length) {
        _bBadUtf8 = true;
        // The undecodable bytes are shown in hexadecimal.
        static const char hex[] = "0123456789ABCDEF";
        for (size_t i = bad; i < length && _strBadUtf8Rest.size() < s_cErrorContextUnits; ++i) {
            if (bytes[i] >= 0x20 && bytes[i] < 0x7F) {
                _strBadUtf8Rest.push_back(static_cast<char>(bytes[i]));
            } else {
                _strBadUtf8Rest += "\\x";
                _strBadUtf8Rest.push_back(hex[bytes[i] >> 4]);
                _strBadUtf8Rest.push_back(hex[bytes[i] & 15]);
            }
        }
        return;
    }
    if (!units.empty())
        _strText.setString(reinterpret_cast<const unsigned short*>(units.data()),
                           static_cast<int>(units.size()));
}

template <class T>
bool JSONParser::_parseTop(T& out, unsigned short open, const char* expected) {
    if (_bBadUtf8) {
        recordSyntaxError("Invalid UTF-8", _strBadUtf8Rest);
        return false;
    }
    const Unit* text = _strText.getConstPtr();
    const size_t length = static_cast<size_t>(_strText.numChars());
    Reader reader(text, length);
    try {
        T value;
        reader.skipWhitespace();
        if (reader.peek() != open) reader.fail(expected);
        if constexpr (std::is_same_v<T, JSONObject>)
            reader.readObject(value, 1);
        else
            reader.readArray(value, 1);
        reader.skipWhitespace();
        if (!reader.atEnd()) reader.fail("Expected the end of the text");
        out.swap(value);
        return true;
    } catch (const SyntaxError& e) {
        const size_t count = std::min(length - e.pos, s_cErrorContextUnits);
        VqString rest;
        if (count) rest.setString(text + e.pos, static_cast<int>(count));
        recordSyntaxError(e.description, rest.toUtf8());
        return false;
    } catch (...) {
        return VqErrorState::recordCurrentException("Vq::JSON::JSONParser", "parse");
    }
}

bool JSONParser::parse(JSONObject& out) {
    return _parseTop(out, '{', "Expected an object");
}

bool JSONParser::parse(JSONArray& out) {
    return _parseTop(out, '[', "Expected an array");
}

// ---- writer

namespace {

class Writer {
public:
    void writeValue(const JSONValue& v, int depth) {
        switch (v.getType()) {
        case VQ_JSON_NULL:
            ascii("null");
            break;
        case VQ_JSON_OBJECT:
            writeObject(static_cast<const JSONObject&>(*v.get()), depth + 1);
            break;
        case VQ_JSON_ARRAY:
            writeArray(static_cast<const JSONArray&>(*v.get()), depth + 1);
            break;
        case VQ_JSON_STRING:
            writeString(static_cast<const JSONString&>(*v.get()).value());
            break;
        case VQ_JSON_NUMBER:
            writeNumber(static_cast<const JSONNumber&>(*v.get()).value());
            break;
        case VQ_JSON_BOOLEAN:
            ascii(static_cast<const JSONBoolean&>(*v.get()).value() ? "true" : "false");
            break;
        }
    }

    void writeObject(const JSONObject& o, int depth) {
        checkDepth(depth);
        ascii("{\n");
        bool first = true;
        for (const auto& [name, value] : o) {
            if (!first) ascii(",\n");
            first = false;
            writeString(name);
            ascii(" : ");
            writeValue(value, depth);
        }
        ascii("\n}");
    }

    void writeArray(const JSONArray& a, int depth) {
        checkDepth(depth);
        _out.push_back(u'[');
        bool first = true;
        for (const JSONValue& v : a) {
            if (!first) ascii(", ");
            first = false;
            writeValue(v, depth);
        }
        _out.push_back(u']');
    }

    const std::u16string& text() const { return _out; }

private:
    static void checkDepth(int depth) {
        if (depth > s_cMaxNestingDepth)
            throw StdException(__PRETTY_FUNCTION__, "Nesting too deep", VQ_ERR_ARGUMENT);
    }

    void ascii(const char* s) {
        while (*s)
            _out.push_back(static_cast<char16_t>(*s++));
    }

    void writeNumber(double d) {
        // The "%.10lg" form, but independent of the process locale.
        char buf[64];
        auto r = std::to_chars(buf, buf + sizeof(buf), d, std::chars_format::general, 10);
        for (const char* p = buf; p != r.ptr; ++p)
            _out.push_back(static_cast<char16_t>(*p));
    }

    void writeString(const VqString& s) {
        _out.push_back(u'"');
        const Unit* p = s.getConstPtr();
        const int n = s.numChars();
        for (int i = 0; i < n; ++i) {
            switch (p[i]) {
            case '"':
                ascii("\\\"");
                break;
            case '\\':
                ascii("\\\\");
                break;
            case '/':
                ascii("\\/");
                break;
            case '\b':
                ascii("\\b");
                break;
            case '\f':
                ascii("\\f");
                break;
            case '\n':
                ascii("\\n");
                break;
            case '\r':
                ascii("\\r");
                break;
            case '\t':
                ascii("\\t");
                break;
            default:
                _out.push_back(static_cast<char16_t>(p[i]));
                break;
            }
        }
        _out.push_back(u'"');
    }

    std::u16string _out;
};

bool storeText(VqString& out, const std::u16string& text) {
    VqString s;
    if (!text.empty() &&
        !s.setString(reinterpret_cast<const unsigned short*>(text.data()), static_cast<int>(text.size()))) {
        VqErrorState::rethrowError();
        return false;
    }
    out = s;
    return true;
}

} // namespace

bool JSONWriter::serialize(VqString& out, const JSONObject& object) {
    try {
        Writer w;
        w.writeObject(object, 1);
        return storeText(out, w.text());
    } catch (...) {
        return VqErrorState::recordCurrentException("Vq::JSON::JSONWriter", "serialize");
    }
}

bool JSONWriter::serialize(VqString& out, const JSONArray& array) {
    try {
        Writer w;
        w.writeArray(array, 1);
        return storeText(out, w.text());
    } catch (...) {
        return VqErrorState::recordCurrentException("Vq::JSON::JSONWriter", "serialize");
    }
}

} // namespace JSON
} // namespace Vq
