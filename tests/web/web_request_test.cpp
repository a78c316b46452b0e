// The web plugin's checks of what a client sends and of web.conf, and the
// spans and gaps the timeline draws.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "api_request.h"
#include "recorded_spans.h"
#include "web_settings.h"

namespace {

using dvrweb::ParseTarget;

TEST(WebRequest, TargetsAreDecodedAndRepeatedOrBrokenOnesRefused)
{
    const auto target = ParseTarget("/api/recordings?camera=front+door%21&from=1&to=2");
    ASSERT_TRUE(target);
    EXPECT_EQ(target->path, "/api/recordings");
    EXPECT_EQ(*dvrweb::QueryValue(*target, "camera"), "front door!");
    // A way up stays a path that names no page file, never a file of the disk.
    EXPECT_EQ(ParseTarget("/%2e%2e/%2E%2E/etc/passwd")->path, "/../../etc/passwd");
    for (const char* bad : {"", "api", "/a?x=1&x=2", "/%zz", "/a%", "/a%0", "/%00", "/a?k=%00"}) {
        EXPECT_FALSE(ParseTarget(bad)) << bad;
    }
    EXPECT_FALSE(ParseTarget("/" + std::string(dvrweb::kMaxTargetLength, 'a')));
}

TEST(WebRequest, ParametersOutOfRangeGiveNothing)
{
    const std::string ok = "1796820724000", late = "4102444800001", word = "12ab", empty;
    EXPECT_EQ(*dvrweb::ParseTimeMs(&ok), 1796820724000);
    EXPECT_FALSE(dvrweb::ParseTimeMs(&late));
    EXPECT_FALSE(dvrweb::ParseTimeMs(&word));
    EXPECT_FALSE(dvrweb::ParseTimeMs(&empty));
    EXPECT_FALSE(dvrweb::ParseTimeMs(nullptr));
    const std::string zero = "0", hour = "3600", more = "3601", minus = "-5";
    EXPECT_FALSE(dvrweb::ParseDurationSeconds(&zero));
    EXPECT_EQ(*dvrweb::ParseDurationSeconds(&hour), 3600);
    EXPECT_FALSE(dvrweb::ParseDurationSeconds(&more));
    EXPECT_FALSE(dvrweb::ParseDurationSeconds(&minus));
    const std::string name = "cam 1", control = "cam\n1", longName(48, 'c');
    EXPECT_EQ(*dvrweb::ParseCameraName(&name), "cam 1");
    EXPECT_FALSE(dvrweb::ParseCameraName(&control));
    EXPECT_FALSE(dvrweb::ParseCameraName(&longName));
    EXPECT_EQ(dvrweb::ParseForm("user=a%40b&password=x+y")->at("user"), "a@b");
}

TEST(WebSettings, FileLinesSetAddressPortAndUsers)
{
    char path[] = "/tmp/web-settings-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string text =
        "address = 0.0.0.0\nport = 9090\nuser = ann:$argon2id$v=19$m=65536,t=2,p=1$c2FsdA$aGFzaA\n"
        "user = bad\nport = 70000\ncolour = blue\nnot a setting\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    const dvrweb::WebSettings settings = dvrweb::ReadWebSettings(path);
    std::remove(path);
    EXPECT_EQ(settings.address, "0.0.0.0");
    EXPECT_EQ(settings.port, 9090);
    ASSERT_EQ(settings.users.size(), 1u);
    EXPECT_EQ(settings.users.at("ann").rfind("$argon2id$", 0), 0u);
    EXPECT_EQ(settings.problems.size(), 4u);  // the bad user, the port, the unknown key, the line
    EXPECT_TRUE(dvrweb::IsLoopbackAddress("127.0.0.2"));
    EXPECT_TRUE(dvrweb::IsLoopbackAddress("::1"));
    EXPECT_TRUE(dvrweb::IsLoopbackAddress("::ffff:127.0.0.1"));
    EXPECT_FALSE(dvrweb::IsLoopbackAddress("0.0.0.0"));
    EXPECT_FALSE(dvrweb::IsLoopbackAddress("192.0.2.2"));
    EXPECT_FALSE(dvrweb::IsLoopbackAddress("localhost"));
}

dvrexample::RecordingEntry Entry(int64_t startS, int64_t endS, uint32_t run)
{
    dvrexample::RecordingEntry entry{};
    entry.startNs = startS * 1000000000;
    entry.endNs = endS * 1000000000;
    entry.run = run;
    entry.bytes = 10;
    return entry;
}

TEST(RecordedSpans, SegmentsOfARunJoinAndGapsLieBetween)
{
    // Out of order; run 1 in three segments, run 2 after a 20 s gap, run 3
    // right after run 2 (a reconnection within the join distance).
    const std::vector<dvrweb::RecordedSpan> spans =
        dvrweb::MergeSpans({Entry(108, 120, 1), Entry(100, 104, 1), Entry(104, 108, 1), Entry(140, 150, 2),
                            Entry(150, 160, 3)});
    ASSERT_EQ(spans.size(), 2u);
    EXPECT_EQ(spans[0].startNs, 100 * 1000000000LL);
    EXPECT_EQ(spans[0].endNs, 120 * 1000000000LL);
    EXPECT_EQ(spans[0].segments, 3u);
    EXPECT_EQ(spans[0].bytes, 30u);
    EXPECT_EQ(spans[1].segments, 2u);
    const std::vector<dvrweb::TimeGap> gaps = dvrweb::GapsBetween(spans, 90 * 1000000000LL, 170 * 1000000000LL);
    ASSERT_EQ(gaps.size(), 3u);
    EXPECT_EQ(gaps[1].startNs, 120 * 1000000000LL);
    EXPECT_EQ(gaps[1].endNs, 140 * 1000000000LL);
    EXPECT_TRUE(dvrweb::GapsBetween({}, 0, 10).empty());
}

}  // namespace
