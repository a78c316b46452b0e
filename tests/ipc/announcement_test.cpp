#include "announcement.h"

#include <gtest/gtest.h>

#include <string>

namespace {

Announcement Parse(const std::string& payload)
{
    return ParseAnnouncement(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
}

TEST(IpcAnnouncement, TextsByPosition)
{
    using namespace std::string_literals;

    Announcement a = Parse("a\0b\0Background:true"s);
    EXPECT_EQ(a.filename, "a");
    EXPECT_EQ(a.version, "b");
    EXPECT_EQ(a.background, true);

    EXPECT_EQ(Parse("a\0b\0Background:true\0"s).background, true) << "a fourth, empty text is ignored";
    EXPECT_EQ(Parse("a\0b\0Background:true\0ignored\0"s).background, true);
    EXPECT_EQ(Parse("a\0b\0Background:truex"s).background, false);
    EXPECT_EQ(Parse("a\0b\0Background:tru"s).background, false);
    EXPECT_EQ(Parse("a\0b\0background:true"s).background, false);
    EXPECT_EQ(Parse("a\0b\0"s).background, false) << "an empty third text is no background option";

    a = Parse("a\0b"s);
    EXPECT_EQ(a.version, "b");
    EXPECT_FALSE(a.background.has_value());

    a = Parse("a");
    EXPECT_EQ(a.filename, "a");
    EXPECT_FALSE(a.version.has_value());
    EXPECT_FALSE(a.background.has_value());

    a = Parse("\0"s);
    EXPECT_EQ(a.filename, "");
    EXPECT_EQ(a.version, "");
    EXPECT_FALSE(a.background.has_value());
}

}  // namespace
