#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "platform/plist.h"

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
    const auto &array = *back->as<PlistArray>();
    ASSERT_EQ(array.size(), 2u);
    const auto &d = *array[0].as<PlistDictionary>();
    ASSERT_EQ(d.size(), dictionary.size());
    for (size_t i = 0; i < d.size(); i++) EXPECT_EQ(d[i].first, dictionary[i].first);
    EXPECT_EQ(*d[1].second.as<int64_t>(), -42);
    EXPECT_EQ(*d[2].second.as<double>(), 2.5);
    EXPECT_TRUE(*d[3].second.as<bool>());
    EXPECT_FALSE(*d[4].second.as<bool>());
    EXPECT_TRUE(d[5].second.as<PlistArray>()->empty());
    EXPECT_TRUE(d[6].second.as<PlistDictionary>()->empty());
    for (size_t i = 7; i < d.size(); i++) EXPECT_EQ(*d[i].second.as<std::string>(), dictionary[i].first);
    EXPECT_EQ(*array[1].as<CalendarDate>(), CalendarDate::fromUnixTime(1'800'000'000));
}

TEST(Plist, ValuesThatCannotBeWrittenAreErrors) {
    std::string error;
    EXPECT_FALSE(encodePlist(PlistValue(std::nan("")), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(encodePlist(PlistArray{PlistValue(std::string("a\0b", 3))}, &error));
}

// What other writers may put there reads as they meant it: dates without leading zeros, text
// in CDATA sections.
TEST(Plist, OtherWritersFormsAreRead) {
    std::string error;
    EXPECT_EQ(*decodePlist("<plist><date>2020-1-2T3:4:5Z</date></plist>", &error)->as<CalendarDate>(),
              *decodePlist("<plist><date>2020-01-02T03:04:05Z</date></plist>", &error)->as<CalendarDate>());
    EXPECT_EQ(*decodePlist("<plist><string>a<![CDATA[<b>]]>c</string></plist>", &error)->as<std::string>(), "a<b>c");
}

TEST(Plist, MalformedDocumentsGiveADescription) {
    const char *bad[] = {
        "",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>cut",
        "<plist><array><data>AAAA</data></array></plist>",
        "<plist><dict><key>k</key></dict></plist>",
        "<plist><dict><string>no key</string></dict></plist>",
        "<plist><date>2026-13-01T00:00:00Z</date></plist>",
        "<plist><date>9999-12-31T23:59:59Z</date></plist>",  // beyond what a date can hold
        "<plist><date>yesterday</date></plist>",
        "<plist><integer>99999999999999999999999</integer></plist>",
        "<plist><integer>12x</integer></plist>",
        "<plist><real>abc</real></plist>",
        "<plist></plist>",
        "<plist><true/><false/></plist>",
        "not xml at all",
    };
    for (const char *data : bad) {
        std::string error;
        EXPECT_FALSE(decodePlist(data, &error)) << data;
        EXPECT_FALSE(error.empty()) << data;
    }
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
