#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "platform/plist.h"

namespace quillon {
namespace {

PlistValue roundTrip(const PlistValue &value) {
    std::string error;
    auto data = encodePlist(value, &error);
    EXPECT_TRUE(data) << error;
    auto back = decodePlist(data.value_or(""), &error);
    EXPECT_TRUE(back) << error;
    return back.value_or(PlistValue());
}

TEST(Plist, EveryTypeRoundTripsInOrder) {
    PlistDictionary dictionary;
    dictionary.emplace_back("b-first", "one");
    dictionary.emplace_back("a-second", int64_t{-42});
    dictionary.emplace_back("real", 2.5);
    dictionary.emplace_back("yes", true);
    dictionary.emplace_back("no", false);
    dictionary.emplace_back("empty array", PlistArray{});
    dictionary.emplace_back("empty dict", PlistDictionary{});
    PlistValue top = PlistArray{PlistValue(dictionary), PlistValue("two"),
                                PlistValue(CalendarDate::fromUnixTime(1'800'000'000))};
    PlistValue back = roundTrip(top);
    const auto &array = *back.as<PlistArray>();
    ASSERT_EQ(array.size(), 3u);
    const auto &d = *array[0].as<PlistDictionary>();
    ASSERT_EQ(d.size(), 7u);
    EXPECT_EQ(d[0].first, "b-first");
    EXPECT_EQ(*d[0].second.as<std::string>(), "one");
    EXPECT_EQ(*d[1].second.as<int64_t>(), -42);
    EXPECT_EQ(*d[2].second.as<double>(), 2.5);
    EXPECT_TRUE(*d[3].second.as<bool>());
    EXPECT_FALSE(*d[4].second.as<bool>());
    EXPECT_TRUE(d[5].second.as<PlistArray>()->empty());
    EXPECT_TRUE(d[6].second.as<PlistDictionary>()->empty());
    EXPECT_EQ(*array[2].as<CalendarDate>(), CalendarDate::fromUnixTime(1'800'000'000));
}

TEST(Plist, DatesAreWrittenInUtcToTheWholeSecond) {
    std::string error;
    auto data = encodePlist(CalendarDate::fromUnixSeconds(1'800'000'000.75), &error);
    ASSERT_TRUE(data);
    EXPECT_NE(data->find("<date>2027-01-15T08:00:00Z</date>"), std::string::npos) << *data;
    EXPECT_NE(data->find("<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\""), std::string::npos);
    EXPECT_EQ(*decodePlist(*data, &error)->as<CalendarDate>(), CalendarDate::fromUnixTime(1'800'000'000));
}

TEST(Plist, AwkwardStringsSurviveExactly) {
    for (const std::string &text : {std::string(" "), std::string("  lead and trail  "), std::string("a\r\nb\rc\n"),
                                   std::string("<&>\"'"), std::string("ctl\x01\x1f\x7f"), std::string("\xff\xfe bad utf-8"),
                                   std::string("tab\there"), std::string("")}) {
        PlistValue back = roundTrip(PlistValue(text));
        ASSERT_TRUE(back.as<std::string>());
        EXPECT_EQ(*back.as<std::string>(), text);
    }
}

TEST(Plist, ValuesThatCannotBeWrittenAreErrors) {
    std::string error;
    EXPECT_FALSE(encodePlist(PlistValue(std::nan("")), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(encodePlist(PlistArray{PlistValue(std::string("a\0b", 3))}, &error));
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
