#include <gtest/gtest.h>

#include "test_environment.h"
#include "test_support.h"
#include "trash/trash_file.h"

namespace quillon {
namespace {

TEST(TrashFile, IdentifiedByExactNameAlone) {
    TrashFile a("Report.pdf", CalendarDate::fromUnixTime(1));
    TrashFile b("Report.pdf", CalendarDate::fromUnixTime(2));
    TrashFile c("report.pdf", CalendarDate::fromUnixTime(1));
    EXPECT_TRUE(a == b);
    EXPECT_EQ(a.hash(), b.hash());
    EXPECT_FALSE(a == c);
}

TEST(TrashFile, AttributesRoundTripAndBadShapesAreRefused) {
    auto file = TrashFile::fileWithAttributes(PlistDictionary{
        {"trashDate", CalendarDate::fromUnixTime(1'700'000'000)}, {"path", "x"}, {"extra", int64_t{1}}});
    ASSERT_TRUE(file);
    EXPECT_EQ(file->path(), "x");
    EXPECT_EQ(file->trashDate(), CalendarDate::fromUnixTime(1'700'000'000));
    const auto attributes = file->attributes();
    EXPECT_EQ(*attributes.find("path")->as<std::string>(), "x");
    EXPECT_EQ(*attributes.find("trashDate")->as<CalendarDate>(), CalendarDate::fromUnixTime(1'700'000'000));
    EXPECT_EQ(attributes.as<PlistDictionary>()->size(), 2u);

    EXPECT_FALSE(TrashFile::fileWithAttributes(PlistValue("just a string")));
    EXPECT_FALSE(TrashFile::fileWithAttributes(PlistDictionary{{"path", int64_t{3}}}));
    EXPECT_FALSE(TrashFile::fileWithAttributes(PlistDictionary{{"trashDate", CalendarDate::fromUnixTime(1)}}));
    auto undated = TrashFile::fileWithAttributes(PlistDictionary{{"path", "y"}, {"trashDate", "not a date"}});
    ASSERT_TRUE(undated);
    EXPECT_FALSE(undated->trashDate());
    EXPECT_FALSE(undated->attributes().find("trashDate"));  // written back without a date
}

TEST(TrashFile, DescriptionIsOneLine) {
    TrashFile file("two\nlines", CalendarDate::fromUnixTime(1));
    const std::string text = file.description();
    EXPECT_EQ(text.rfind("<TrashFile: 0x", 0), 0u) << text;
    EXPECT_NE(text.find("path = \"two\\x0alines\""), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos);
}

}  // namespace
}  // namespace quillon
