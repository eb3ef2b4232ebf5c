#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "plist/plist.h"
#include "test_support.h"

namespace quillon {
namespace {

TEST(Plist, EveryTypeAndAwkwardStringRoundTripsInOrderAndDatesToTheWholeSecondInUtc) {
    PlistDictionary dictionary = {{"b-first", "one"}, {"a-second", int64_t{-42}}, {"real", 2.5}, {"yes", true},
                                  {"no", false}, {"empty array", PlistArray{}}, {"empty dict", PlistDictionary{}}};
    for (const std::string &text : {std::string(" "), std::string("  lead and trail  "), std::string("a\r\nb\rc\n"),
                                    std::string("<&>\"'"), std::string("ctl\x01\x1f\x7f"),
                                    std::string("\xff\xfe bad utf-8"), std::string("tab\there"), std::string("")})
        dictionary.emplace_back(text, text);
    const PlistValue top = PlistArray{dictionary, PlistValue(CalendarDate::fromUnixSeconds(1'800'000'000.75))};
    std::string error;
    const auto data = encodePlist(top, &error);
    ASSERT_TRUE(data) << error;
    EXPECT_NE(data->find("<date>2027-01-15T08:00:00Z</date>"), std::string::npos) << *data;
    EXPECT_NE(data->find("<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\""), std::string::npos);
    const auto back = decodePlist(*data, &error);
    ASSERT_TRUE(back) << error;
    // Read back, it is the value written, the date cut to its whole second.
    const PlistValue whole = PlistArray{dictionary, PlistValue(CalendarDate::fromUnixTime(1'800'000'000))};
    EXPECT_EQ(encodePlist(*back, &error), encodePlist(whole, &error));
    EXPECT_EQ(*back->as<PlistArray>()->at(1).as<CalendarDate>(), CalendarDate::fromUnixTime(1'800'000'000));
}

TEST(Plist, ValuesThatCannotBeWrittenAreErrors) {
    std::string error;
    EXPECT_FALSE(encodePlist(PlistValue(std::nan("")), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(encodePlist(PlistArray{PlistValue(std::string("a\0b", 3))}, &error));
}

// Plain, unusual and malformed documents: the value read, or nullopt for a refusal with a
// description. Names are bytes: what XML cannot hold reads back as written, also where it
// straddles a piece of the reader's input.
TEST(Plist, DocumentsReadAsXmlMeansThemOrAreRefused) {
    const std::string header = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">";
    // Text whose bytes to escape straddle the end of the first piece (1 MiB) after `cut` of them.
    auto straddling = [](size_t cut, bool decoded) {
        const std::string pad((size_t{1} << 20) - 15 - cut, 'x');
        return pad + (decoded ? "\xc3\xa9\x01\xe2\x82\xac\xff\xF0\x9F\x98\x80\x03" : "\xc3\xa9&#1;\xe2\x82\xac\xff&#x1F600;&#3;");
    };
    auto str = [](std::string text) { return std::optional<PlistValue>(PlistValue(std::move(text))); };
    const struct { std::string data; std::optional<PlistValue> value; } cases[] = {
        {header + "<array><dict><key>a&amp;&lt;&gt;&quot;&apos;&#65;&#x1F600;</key><string>x&#13;y</string></dict>"
                  "<array/><dict/><true/><false></false><integer>-3</integer><real>1.5</real>"
                  "<date>2026-12-01T10:00:00Z</date></array></plist>",
         PlistArray{PlistDictionary{{"a&<>\"'A\xF0\x9F\x98\x80", "x\ry"}}, PlistArray{}, PlistDictionary{}, true, false,
                    int64_t{-3}, 1.5, CalendarDate::fromUnixTime(1'796'119'200)}},
        {"<!-- c --><!DOCTYPE plist PUBLIC \"a\" 'c>d'><plist version='1.0' x = \"y\" ><dict ><key/><string/>"
         "<!-- between --></dict ></plist><!-- after -->\n", PlistDictionary{{"", ""}}},
        {"<plist><string>" + std::string(3 << 20, 'x') + "</string></plist>", str(std::string(3 << 20, 'x'))},
        {"<plist><string>a\r\nb</string></plist>", str("a\nb")},
        {"<plist><string>a<![CDATA[<b>]]>c</string></plist>", str("a<b>c")},
        {"<plist><array><string>x</string>text</array></plist>", PlistArray{"x"}},
        {"<plist><string>&#1;&#x1f;\x02\xff\xc3(\xed\xa0\x80</string></plist>", str("\x01\x1f\x02\xff\xc3(\xed\xa0\x80")},
        {"<plist><string>" + straddling(1, false) + "</string></plist>", str(straddling(1, true))},
        {"<plist><string>" + straddling(4, false) + "</string></plist>", str(straddling(4, true))},
        {"<plist><string>" + straddling(7, false) + "</string></plist>", str(straddling(7, true))},
        {"<!DOCTYPE plist [<!ENTITY e \"x\">]><plist><string>&e;</string></plist>", std::nullopt},
        {header + "<string>&unknown;</string></plist>", std::nullopt},
        {"<plist><string>&#0;</string></plist>", std::nullopt},
        {"", std::nullopt},
        {header + "<array><string>cut", std::nullopt},
        {"<plist><array><data>AAAA</data></array></plist>", std::nullopt},
        {"<plist><dict><key>k</key></dict></plist>", std::nullopt},
        {"<plist><dict><string>no key</string></dict></plist>", std::nullopt},
        {"<plist><array></dict></plist>", std::nullopt},
        {"<plist><date>2026-13-01T00:00:00Z</date></plist>", std::nullopt},
        {"<plist><date>9999-12-31T23:59:59Z</date></plist>", std::nullopt},  // beyond what a date can hold
        {"<plist><date>yesterday</date></plist>", std::nullopt},
        {"<plist><date>2020-1-2T3:4:5Z</date></plist>", std::nullopt},  // only the one UTC form
        {"<plist><integer>99999999999999999999999</integer></plist>", std::nullopt},
        {"<plist><integer>12x</integer></plist>", std::nullopt},
        {"<plist><real>abc</real></plist>", std::nullopt},
        {"<plist></plist>", std::nullopt},
        {"<plist><true/><false/></plist>", std::nullopt},
        {"not xml at all", std::nullopt},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.data.substr(0, 80));
        std::string error;
        const auto value = decodePlist(c.data, &error);
        ASSERT_EQ(value.has_value(), c.value.has_value()) << error;
        EXPECT_EQ(value.has_value(), error.empty());
        if (value) {
            EXPECT_EQ(encodePlist(*value, &error), encodePlist(*c.value, &error));
        }
    }
    std::string error;
    EXPECT_FALSE(decodePlist("<plist>\n <strin>x</plist>", &error));
    EXPECT_EQ(error, "mismatched tag at line 2, column 11 (byte 19)");
}

TEST(Plist, DeepNestingIsRefusedNotACrash) {
    std::string deep = "<plist>";
    for (int i = 0; i < 100000; i++) deep += "<array>";
    std::string error;
    EXPECT_FALSE(decodePlist(deep, &error));
    deep += "<string>x</string>";
    for (int i = 0; i < 100000; i++) deep += "</array>";
    deep += "</plist>";
    EXPECT_FALSE(decodePlist(deep, &error));
    EXPECT_EQ(error, "nesting too deep");
}

}  // namespace
}  // namespace quillon
