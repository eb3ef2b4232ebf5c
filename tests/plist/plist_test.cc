#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <string>

#include "plist/plist.h"
#include "plist/plist_stream_reader.h"
#include "plist_recorder.h"
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
// in CDATA sections, line ends of other systems.
TEST(Plist, OtherWritersFormsAreRead) {
    std::string error;
    EXPECT_EQ(*decodePlist("<plist><date>2020-1-2T3:4:5Z</date></plist>", &error)->as<CalendarDate>(),
              *decodePlist("<plist><date>2020-01-02T03:04:05Z</date></plist>", &error)->as<CalendarDate>());
    EXPECT_EQ(*decodePlist("<plist><string>a<![CDATA[<b>]]>c\r\nd</string></plist>", &error)->as<std::string>(),
              "a<b>c\nd");
}

// Whatever the document, each reader hands over the values of the general parser's tree, or
// fails where it fails, with a description: the one pass over plain XML, whole or from a file
// in pieces, and the general parser it leaves everything else to.
TEST(Plist, EveryReaderReadsTheSameValuesOrFailsAlike) {
    const std::string header = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">";
    const struct {
        std::string data;
        bool onePass;
    } cases[] = {
        {header + "<array><dict><key>a&amp;&lt;&gt;&quot;&apos;&#65;&#x1F600;</key><string>x&#13;y</string></dict>"
                  "<array/><dict/><true/><false></false><integer>-3</integer><real>1.5</real>"
                  "<date>2026-12-01T10:00:00Z</date></array></plist>", true},
        {"<!-- c --><!DOCTYPE plist PUBLIC \"a>b\" 'c'><plist version='1.0' x = \"y\" ><dict ><key/><string/>"
         "<!-- between --></dict ></plist><!-- after -->\n", true},
        {"<plist><string>" + std::string(3 << 20, 'x') + "</string></plist>", true},  // longer than a piece
        {"<plist><string>a\r\nb</string></plist>", false},  // the general parser makes CR LF a LF
        {"<plist><string>a<![CDATA[<b>]]>c</string></plist>", false},
        {"<!DOCTYPE plist [<!ENTITY e \"x\">]><plist><string>&e;</string></plist>", false},
        {"<plist><string>&unknown; &#0; &#xD800;</string></plist>", false},
        {"<plist><array><string>x</string>text</array></plist>", false},
        {"", false},
        {"<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>cut", false},
        {"<plist><array><data>AAAA</data></array></plist>", false},
        {"<plist><dict><key>k</key></dict></plist>", false},
        {"<plist><dict><string>no key</string></dict></plist>", false},
        {"<plist><array></dict></plist>", false},
        {"<plist><date>2026-13-01T00:00:00Z</date></plist>", false},
        {"<plist><date>9999-12-31T23:59:59Z</date></plist>", false},  // beyond what a date can hold
        {"<plist><date>yesterday</date></plist>", false},
        {"<plist><integer>99999999999999999999999</integer></plist>", false},
        {"<plist><integer>12x</integer></plist>", false},
        {"<plist><real>abc</real></plist>", false},
        {"<plist></plist>", false},
        {"<plist><true/><false/></plist>", false},
        {"not xml at all", false},
    };
    testing::TempDir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.data.substr(0, 80));
        std::string error;
        PlistRecorder tree, visited, once, fromFile;
        const auto value = decodePlist(c.data, &error);
        if (value) tree.record(*value);
        EXPECT_EQ(value.has_value(), error.empty());
        EXPECT_EQ(plist_internal::streamPlist(c.data, once) == plist_internal::StreamResult::kRead, c.onePass);
        error.clear();
        EXPECT_EQ(visitPlist(c.data, visited, &error), value.has_value());
        EXPECT_EQ(value.has_value(), error.empty());
        testing::write_file(dir / "doc", c.data);
        const int fd = open((dir / "doc").c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(visitPlistFile(fd, fromFile, &error, size_t{1} << 30), value.has_value());
        close(fd);
        if (!value) continue;
        EXPECT_EQ(visited.events, tree.events);
        EXPECT_EQ(fromFile.events, tree.events);
        if (c.onePass) {
            EXPECT_EQ(once.events, tree.events);
        }
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
