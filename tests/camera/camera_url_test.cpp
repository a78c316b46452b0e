// A camera's URL as both read paths take it: libavformat's client gets the
// connect form (camera_url.h), the own RTSP reader the parts of the same
// split (rtsp_messages.h). User information holds every URL delimiter.
#include <gtest/gtest.h>

#include <string>

#include "camera_url.h"
#include "rtsp_messages.h"

namespace {

constexpr char kPassword[] = "Zqp/a@s:s%w#o?rd";
constexpr char kEncoded[] = "Zqp%2Fa%40s%3As%25w%23o%3Frd";

TEST(CameraPlugin, OwnReaderSplitsAURLAsLibavformatsClientIsGivenIt)
{
    for (const std::string& password : {std::string(kPassword), std::string(kEncoded)}) {
        SCOPED_TRACE(password);
        const std::string url = "rtsp://Kvuser:" + password + "@127.0.0.1:8554/cam1?x=1";
        const dvrexample::CameraUrl camera = dvrexample::ParseCameraUrl(url);
        EXPECT_TRUE(camera.wellFormed);
        EXPECT_EQ("rtsp://Kvuser:" + std::string(kEncoded) + "@127.0.0.1:8554/cam1?x=1", camera.connect);
        EXPECT_EQ("rtsp://127.0.0.1:8554/cam1?x=1", camera.shown);

        dvrcamera::RtspUrl own;
        ASSERT_TRUE(dvrcamera::ParseRtspUrl(url, own));
        EXPECT_EQ("Kvuser", own.user);
        EXPECT_EQ(kPassword, own.password);
        EXPECT_EQ("Kvuser:" + std::string(kEncoded), own.userInfo);
        EXPECT_EQ("127.0.0.1", own.host);
        EXPECT_EQ("8554", own.port);
        EXPECT_EQ(camera.shown, own.plain);
    }
}

TEST(CameraPlugin, OwnReaderTakesURLsWithoutCredentialsOrPortAndRefusesWhatHasNoHost)
{
    dvrcamera::RtspUrl own;
    ASSERT_TRUE(dvrcamera::ParseRtspUrl("rtsp://camera.example/stream", own));
    EXPECT_EQ("", own.user);
    EXPECT_EQ("", own.userInfo);
    EXPECT_EQ("camera.example", own.host);
    EXPECT_EQ("554", own.port);
    EXPECT_EQ("rtsp://camera.example/stream", own.plain);

    ASSERT_TRUE(dvrcamera::ParseRtspUrl("rtsp://viewer@[::1]:8554/x", own));
    EXPECT_EQ("viewer", own.user);
    EXPECT_EQ("", own.password);
    EXPECT_EQ("::1", own.host);
    EXPECT_EQ("rtsp://[::1]:8554/x", own.plain);

    for (const char* bad : {"rtsp://:554/x", "rtsp://u:p@/x", "rtsp://host:port/x", "rtsps://host/x", "http://host/x",
                            "rtsp://host/a b"}) {
        EXPECT_FALSE(dvrcamera::ParseRtspUrl(bad, own)) << bad;
    }
}

}  // namespace
