#include "VqJSON.h"
#include "VqLibFixture.h"
#include "VqStdError.h"
#include "VqStdException.h"

#include <charconv>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace Vq::JSON;

namespace {

std::string write(const JSONObject& o) {
    VqString out;
    EXPECT_TRUE(JSONWriter().serialize(out, o));
    return out.toUtf8();
}

std::string write(const JSONArray& a) {
    VqString out;
    EXPECT_TRUE(JSONWriter().serialize(out, a));
    return out.toUtf8();
}

bool parseArray(const std::string& text, JSONArray& out) {
    return JSONParser(text.data(), text.size()).parse(out);
}

// The array [text] written back, or the parse error.
std::string arrayRoundTrip(const std::string& element) {
    JSONArray a;
    if (!parseArray("[" + element + "]", a)) return "error: " + lastError();
    return write(a);
}

class JSONTest : public VqLibTest {};

} // namespace

TEST_F(JSONTest, WritesTheDocumentedLayout) {
    JSONObject empty;
    EXPECT_EQ(write(empty), "{\n\n}");

    JSONObject one;
    JSONArray* arr = new JSONArray;
    arr->append(JSONValue(1));
    arr->append(JSONValue(true));
    arr->append(JSONValue());
    arr->append(JSONValue("x"));
    JSONObject* inner = new JSONObject;
    inner->addMember("k", JSONValue(false));
    arr->append(JSONValue(inner));
    one.addMember("a", JSONValue(arr));
    EXPECT_EQ(write(one), "{\n\"a\" : [1, true, null, \"x\", {\n\"k\" : false\n}]\n}");

    JSONArray emptyArray;
    EXPECT_EQ(write(emptyArray), "[]");

    // Members in the order first added; a replaced one keeps its place.
    JSONObject two;
    two.addMember("q", JSONValue("s"));
    two.addMember("p", JSONValue(0.5));
    two.addMember("q", JSONValue("t"));
    EXPECT_EQ(write(two), "{\n\"q\" : \"t\",\n\"p\" : 0.5\n}");
}

TEST_F(JSONTest, NumbersFollowTheTenDigitFormAndOverflowFails) {
    EXPECT_EQ(arrayRoundTrip("0.1"), "[0.1]");
    EXPECT_EQ(arrayRoundTrip("1e300"), "[1e+300]");
    EXPECT_EQ(arrayRoundTrip("1e+300"), "[1e+300]");
    EXPECT_EQ(arrayRoundTrip("123456789012"), "[1.23456789e+11]");
    EXPECT_EQ(arrayRoundTrip("-0.25, +2, .5, 5."), "[-0.25, 2, 0.5, 5]");
    EXPECT_EQ(arrayRoundTrip("1e-400"), "[0]"); // underflow is not overflow
    EXPECT_EQ(arrayRoundTrip("1e999"), "error: JSON syntax error:  Number out of range:  1e999]");
    EXPECT_EQ(arrayRoundTrip("-1e999"), "error: JSON syntax error:  Number out of range:  -1e999]");
    EXPECT_EQ(arrayRoundTrip("1e"), "error: JSON syntax error:  Invalid number:  1e]");
    EXPECT_EQ(arrayRoundTrip("1-2"), "error: JSON syntax error:  Invalid number:  1-2]");
    EXPECT_EQ(arrayRoundTrip("--1"), "error: JSON syntax error:  Invalid number:  --1]");
    EXPECT_EQ(VqErrorState::currentError()->code(), VQ_ERR_CORRUPT);

    JSONArray a;
    ASSERT_TRUE(parseArray("[1e300, 0.1, -7.125]", a));
    EXPECT_EQ(a[0].number(), 1e300);
    EXPECT_EQ(a[1].number(), 0.1);
    EXPECT_EQ(a[2].number(), -7.125);
}

namespace {
// Switches to a locale with a decimal comma, building one in a temporary
// directory when the machine has none installed.
bool useDecimalCommaLocale() {
    if (setlocale(LC_ALL, "de_DE.UTF-8")) return true;
    const std::string dir = ::testing::TempDir() + "vq_locales";
    const std::string cmd =
        "mkdir -p '" + dir + "' && localedef -i de_DE -f UTF-8 '" + dir + "/de_DE.UTF-8' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) return false;
    setenv("LOCPATH", dir.c_str(), 1);
    return setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
}
} // namespace

TEST_F(JSONTest, LocaleOfTheHostDoesNotChangeNumbers) {
    const std::string saved = setlocale(LC_ALL, nullptr);
    if (!useDecimalCommaLocale()) GTEST_SKIP() << "no decimal-comma locale available";
    ASSERT_EQ(std::string(localeconv()->decimal_point), ",");
    EXPECT_EQ(arrayRoundTrip("0.5, 1234.5678, 1e-3"), "[0.5, 1234.5678, 0.001]");
    EXPECT_EQ(arrayRoundTrip("1e999"), "error: JSON syntax error:  Number out of range:  1e999]");
    EXPECT_EQ(arrayRoundTrip("1e-400"), "[0]");
    setlocale(LC_ALL, saved.c_str());
    unsetenv("LOCPATH");
}

TEST_F(JSONTest, StringEscapes) {
    JSONArray a;
    ASSERT_TRUE(parseArray(R"(["\u00e9", "\u00C9", "\q", "a\/b", "\"\\\b\f\n\r\t"])", a));
    ASSERT_EQ(a.length(), 5);
    ASSERT_EQ(a[0].string().numChars(), 1);
    EXPECT_EQ(a[0].string()[0], 0xE9);
    EXPECT_EQ(a[1].string()[0], 0xC9);
    EXPECT_EQ(a[2].string().toUtf8(), "\\q");
    EXPECT_EQ(a[3].string().toUtf8(), "a/b");
    EXPECT_EQ(a[4].string().toUtf8(), "\"\\\b\f\n\r\t");
    // A slash is written escaped, and so is every character of the list.
    EXPECT_EQ(write(a), R"(["é", "É", "\\q", "a\/b", "\"\\\b\f\n\r\t"])");

    // Surrogates stay separate units.
    ASSERT_TRUE(parseArray(R"(["\ud83d\ude00"])", a));
    ASSERT_EQ(a[0].string().numChars(), 2);
    EXPECT_EQ(a[0].string()[0], 0xD83D);
    EXPECT_EQ(a[0].string()[1], 0xDE00);

    EXPECT_EQ(arrayRoundTrip(R"("\u00g0")"),
              "error: JSON syntax error:  Expected unicode sequence:  \\u00g0\"]");
    EXPECT_EQ(arrayRoundTrip(R"("\u00)"), "error: JSON syntax error:  Expected unicode sequence:  \\u00]");
    EXPECT_EQ(arrayRoundTrip(R"("abc)"), "error: JSON syntax error:  Unterminated string:  \"abc]");
}

TEST_F(JSONTest, MalformedInputFailsAndLeavesTheTargetAlone) {
    JSONObject target;
    target.addMember("keep", JSONValue(1));
    struct Case {
        const char* text;
        const char* error;
    } cases[] = {
        {"[1]", "JSON syntax error:  Expected an object:  [1]"},
        {"", "JSON syntax error:  Expected an object:  "},
        {"{\"a\" 1}", "JSON syntax error:  Expected a colon:  1}"},
        {"{\"a\":1,}", "JSON syntax error:  Expected a member:  }"},
        {"{\"a\":1 \"b\":2}", "JSON syntax error:  Expected a comma or object terminator:  \"b\":2}"},
        {"{\"a\":[1 2]}", "JSON syntax error:  Expected comma or array terminator:  2]}"},
        {"{\"a\":[1,]}", "JSON syntax error:  Expected a value:  ]}"},
        {"{\"a\":tru}", "JSON syntax error:  Expected a value:  tru}"},
        {"{\"a\":{\"b\":[", "JSON syntax error:  Expected a value:  "},
        {"{} x", "JSON syntax error:  Expected the end of the text:  x"},
        {"{\"a\":\"b\"", "JSON syntax error:  Expected a comma or object terminator:  "},
        {"{\"a\":\"b\\", "JSON syntax error:  Unterminated string:  \"b\\"},
    };
    for (const Case& c : cases) {
        std::string text(c.text);
        EXPECT_FALSE(JSONParser(text.data(), text.size()).parse(target)) << c.text;
        EXPECT_EQ(lastError(), c.error) << c.text;
        EXPECT_EQ(target.numMembers(), 1);
        EXPECT_TRUE(target.hasMember("keep"));
    }
    JSONArray arr;
    EXPECT_FALSE(JSONParser(VqString("{}")).parse(arr));
    EXPECT_EQ(lastError(), "JSON syntax error:  Expected an array:  {}");
}

TEST_F(JSONTest, BytesThatAreNotUtf8AreRefused) {
    JSONArray a;
    for (std::string bad :
         {std::string("[\"\xC3\"]"), std::string("[\"\xC0\xAF\"]"), std::string("[\"\xED\xA0\x80\"]"),
          std::string("[\"\xF4\x90\x80\x80\"]"), std::string("[\"\xFF\"]")}) {
        EXPECT_FALSE(parseArray(bad, a));
        EXPECT_EQ(lastError().rfind("JSON syntax error:  Invalid UTF-8:  \\x", 0), 0u) << lastError();
        EXPECT_EQ(a.length(), 0);
    }
    // Four-byte sequences become surrogate pairs.
    ASSERT_TRUE(parseArray("[\"\xF0\x9F\x98\x80\"]", a));
    EXPECT_EQ(a[0].string().numChars(), 2);
}

TEST_F(JSONTest, DeepNestingIsRefusedWithoutExhaustingTheStack) {
    JSONArray a;
    const int ok = s_cMaxNestingDepth;
    ASSERT_TRUE(parseArray(std::string(ok, '[') + std::string(ok, ']'), a));
    std::string hostile(100000, '[');
    EXPECT_FALSE(parseArray(hostile, a));
    EXPECT_EQ(lastError().rfind("JSON syntax error:  Nesting too deep:  [[[", 0), 0u);
    // The message shows only the start of a long remainder.
    EXPECT_LT(lastError().size(), 400u);
    EXPECT_FALSE(parseArray(std::string(ok + 1, '[') + std::string(ok + 1, ']'), a));
}

TEST_F(JSONTest, RoundTripKeepsEveryValue) {
    const std::string text = R"({
        "name" : "Part \u00e9\/x", "count": 3, "ratio" : -0.125, "on" : true, "off" : false,
        "none" : null, "list" : [1, [2, [3, {}]], {"deep" : [[]]}], "empty" : {}
    })";
    JSONObject first;
    ASSERT_TRUE(JSONParser(text.data(), text.size()).parse(first));
    EXPECT_EQ(first.numMembers(), 8);
    EXPECT_TRUE(first.hasMember("none"));
    EXPECT_TRUE(first.value("none").isNull());
    EXPECT_TRUE(first.value("missing").isNull());
    EXPECT_EQ(first.value("count").number(), 3);
    EXPECT_EQ(first["list"].array()[1].array()[1].array()[0].number(), 3);

    VqString written;
    ASSERT_TRUE(JSONWriter().serialize(written, first));
    JSONObject second;
    ASSERT_TRUE(JSONParser(written).parse(second));
    JSONValue a(first.clone()), b(second.clone());
    EXPECT_TRUE(a == b);

    // Equality looks at content.
    second["count"] = JSONValue(4);
    EXPECT_FALSE(JSONValue(first.clone()) == JSONValue(second.clone()));
    EXPECT_FALSE(JSONValue(1) == JSONValue(true));
    EXPECT_TRUE(JSONValue() == JSONValue());

    // Duplicate members: the last one counts.
    JSONObject dup;
    ASSERT_TRUE(JSONParser(VqString("{\"ab\":1,\"b\":0,\"a\\u0062\":2}")).parse(dup));
    EXPECT_EQ(dup.numMembers(), 2);
    EXPECT_EQ(dup.value("ab").number(), 2);
}

TEST_F(JSONTest, TypedAccessorsRefuseOtherKinds) {
    JSONValue n(1.5);
    EXPECT_EQ(n.getType(), VQ_JSON_NUMBER);
    try {
        n.string();
        FAIL() << "no exception";
    } catch (const Vq::StdException& e) {
        EXPECT_STREQ(e.description(), "_p && _p->getType()==VQ_JSON_STRING");
    }
    EXPECT_THROW(JSONValue().object(), Vq::StdException);
    EXPECT_THROW(n.boolean(), Vq::StdException);
    n.number() = 2;
    EXPECT_EQ(n.number(), 2);
}

TEST_F(JSONTest, ValuesOutliveTheTreeTheyWereParsedInto) {
    // Enough records to fill many node blocks.
    std::string text = "[";
    for (int i = 0; i < 5000; ++i)
        text += (i ? "," : "") + std::string("{\"id\":") + std::to_string(i) + ",\"tags\":[\"t\",\"u" +
                std::to_string(i) + "\"],\"on\":true}";
    text += "]";
    JSONValue kept, keptArray, keptString;
    {
        JSONArray a;
        ASSERT_TRUE(parseArray(text, a));
        ASSERT_EQ(a.length(), 5000);
        kept = a[2500];
        keptArray = a[4999].object()["tags"];
        keptString = a[17].object()["tags"].array()[1];
    }
    EXPECT_EQ(kept.object().value("id").number(), 2500);
    EXPECT_EQ(keptArray.array()[1].string().toUtf8(), "u4999");
    EXPECT_EQ(keptString.string().toUtf8(), "u17");
    // Kept containers still grow, past the storage they were parsed with.
    for (int i = 0; i < 100; ++i) {
        kept.object().addMember(VqString(("m" + std::to_string(i)).c_str()), JSONValue(i));
        keptArray.array().append(JSONValue(i));
    }
    EXPECT_EQ(kept.object().numMembers(), 103);
    EXPECT_EQ(keptArray.array().length(), 102);
    EXPECT_TRUE(kept.object().removeMember("tags"));
    // The last references may go on another thread.
    std::thread([&] {
        kept = JSONValue();
        keptArray = JSONValue();
    }).join();
    EXPECT_EQ(keptString.string().toUtf8(), "u17");
}

TEST_F(JSONTest, RecurringStringsAreIndependentValues) {
    JSONArray a;
    ASSERT_TRUE(parseArray(R"([{"kind":"steel"}, {"kind":"steel"}, "steel"])", a));
    a[0].object()["kind"].string() = VqString("glass");
    a[2].string() += VqString("!");
    EXPECT_EQ(a[0].object().value("kind").string().toUtf8(), "glass");
    EXPECT_EQ(a[1].object().value("kind").string().toUtf8(), "steel");
    EXPECT_EQ(a[2].string().toUtf8(), "steel!");
    EXPECT_TRUE(a[1].object().hasMember("kind"));
}

TEST_F(JSONTest, DecimalsConvertToTheNearestDouble) {
    // The forms the quick conversion takes and those at its limits, each
    // compared with the general conversion.
    std::vector<std::string> numbers = {"0",
                                        "-0",
                                        "7.85",
                                        "2.5e-3",
                                        "1e22",
                                        "1e23",
                                        "-1e-22",
                                        "1e-23",
                                        "0.1e-21",
                                        "9007199254740992",
                                        "9007199254740993",
                                        "1234567890123456789",
                                        "12345678901234567890",
                                        "0.000000000000000000001234",
                                        "47.2200000000000000001",
                                        "5e+0",
                                        "123.456E+5",
                                        "00012.5"};
    uint64_t state = 12345;
    auto next = [&state] {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return state >> 33;
    };
    for (int i = 0; i < 2000; ++i) {
        std::string n = next() % 2 ? "-" : "";
        n += std::to_string(next() % 100000000000ull);
        if (next() % 2) n += "." + std::to_string(next() % 10000000000ull);
        if (next() % 2) n += "e" + std::to_string(static_cast<int>(next() % 61) - 30);
        numbers.push_back(n);
    }
    std::string text = "[";
    for (size_t i = 0; i < numbers.size(); ++i)
        text += (i ? "," : "") + numbers[i];
    text += "]";
    JSONArray a;
    ASSERT_TRUE(parseArray(text, a));
    ASSERT_EQ(a.length(), static_cast<int>(numbers.size()));
    for (size_t i = 0; i < numbers.size(); ++i) {
        double expected = 0;
        const std::string& n = numbers[i];
        std::from_chars(n.data(), n.data() + n.size(), expected);
        const double got = a[static_cast<int>(i)].number();
        EXPECT_EQ(std::memcmp(&got, &expected, sizeof(double)), 0) << n << " read as " << got;
    }
}

TEST_F(JSONTest, LargeContainersKeepEveryValue) {
    std::string text = "{\"list\":[";
    for (int i = 0; i < 3000; ++i)
        text += (i ? "," : "") + std::to_string(i);
    text += "]";
    for (int i = 0; i < 800; ++i)
        text += ",\"k" + std::to_string(i) + "\":" + std::to_string(i);
    text += "}";
    JSONObject o;
    ASSERT_TRUE(JSONParser(text.data(), text.size()).parse(o));
    ASSERT_EQ(o.numMembers(), 801);
    const JSONArray& list = o.value("list").array();
    ASSERT_EQ(list.length(), 3000);
    for (int i = 0; i < 3000; i += 7)
        EXPECT_EQ(list[i].number(), i);
    for (int i = 0; i < 800; i += 11)
        EXPECT_EQ(o.value(VqString(("k" + std::to_string(i)).c_str())).number(), i);

    // Names of every length up to past the longest recurring one, each found
    // again; the empty name is a name too.
    std::string names = "{";
    for (int len = 0; len <= 40; ++len)
        names +=
            (len ? ",\"" : "\"") + std::string(static_cast<size_t>(len), 'n') + "\":" + std::to_string(len);
    names += "}";
    JSONObject byLength;
    ASSERT_TRUE(JSONParser(names.data(), names.size()).parse(byLength));
    ASSERT_EQ(byLength.numMembers(), 41);
    auto name = [](int len) { return VqString(std::string(static_cast<size_t>(len), 'n').c_str()); };
    for (int len = 0; len <= 40; ++len)
        EXPECT_EQ(byLength.value(name(len)).number(), len);

    // Removal down to a few members and growth again keep every name found,
    // and a name added again replaces its value.
    for (int len = 40; len >= 3; --len)
        ASSERT_TRUE(byLength.removeMember(name(len)));
    for (int len = 50; len < 70; ++len)
        byLength.addMember(name(len), JSONValue(len));
    byLength.addMember(name(1), JSONValue(-1));
    ASSERT_EQ(byLength.numMembers(), 23);
    EXPECT_EQ(byLength.value(name(1)).number(), -1);
    EXPECT_FALSE(byLength.hasMember(name(20)));
    for (int len = 50; len < 70; ++len)
        EXPECT_EQ(byLength.value(name(len)).number(), len);

    // Repeated names in a large object: the last one counts.
    std::string repeated = "{";
    for (int i = 0; i < 60; ++i)
        repeated += (i ? ",\"r" : "\"r") + std::to_string(i % 20) + "\":" + std::to_string(i);
    repeated += "}";
    ASSERT_TRUE(JSONParser(repeated.data(), repeated.size()).parse(o));
    ASSERT_EQ(o.numMembers(), 20);
    EXPECT_EQ(o.value("r7").number(), 47);
}

TEST_F(JSONTest, BadUtf8IsTheErrorWhereverTheSyntaxBreaks) {
    JSONArray a;
    // Outside strings, and after an earlier syntax error.
    EXPECT_FALSE(parseArray("[1, \xFF]", a));
    EXPECT_EQ(lastError(), "JSON syntax error:  Invalid UTF-8:  \\xFF]");
    EXPECT_FALSE(parseArray("[1 2, \"\xE2\x82\"]", a));
    EXPECT_EQ(lastError(), "JSON syntax error:  Invalid UTF-8:  \\xE2\\x82\"]");
    // Valid text around an error is shown as it stands.
    EXPECT_FALSE(parseArray("[\"\xC3\xA9\" 1]", a));
    EXPECT_EQ(lastError(), "JSON syntax error:  Expected comma or array terminator:  1]");
}
