// camera-server: N synthetic RTSP cameras for tests, benchmarks and the demo.
//
// Each camera serves a clip encoded once at start (a scrolling test pattern
// with the clip's frame clock burnt in, H.264 or H.265, optionally with
// B-frames) and loops it with continuous timestamps, so serving costs little
// more than copying bytes. Access units go out in decode order, each with its
// presentation time, as an encoder that reorders sends them.
// The clip's first access unit carries the parameter sets; later ones do not
// (the payloader announces them in the SDP), as many real cameras do. Clips
// are cached on disk by their encoding settings.
//
// Commands, one per line, on standard input and on the --control FIFO:
//   drop NAME      the camera vanishes: its clients are cut off and new
//                  connections fail until it is restored
//   restore NAME   the camera comes back
//   quit
// SIGINT and SIGTERM also end the server.
#include <fcntl.h>
#include <glib-unix.h>
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr char kUsage[] =
    "Usage: camera-server [options]\n"
    "  --cameras N          synthetic cameras cam1..camN (default 4)\n"
    "  --codec h264|h265    their codec (default h264)\n"
    "  --size WxH           picture size (default 1920x1080)\n"
    "  --fps N              frames per second (default 25)\n"
    "  --kbps N             bit rate (default 4000)\n"
    "  --gop-seconds N      seconds between key frames (default 2)\n"
    "  --bframes N          B-frames between reference frames (default 0; H.264\n"
    "                       then in main profile)\n"
    "  --clip-seconds N     length of the looped clip, whole GOPs (default 4)\n"
    "  --address A          listening address (default 127.0.0.1)\n"
    "  --port N             listening port; 0 picks a free one (default 8554)\n"
    "  --cache DIR          clip cache (default ~/.cache/dvrcore-camera-server)\n"
    "  --locked-camera      add /locked, which needs user viewer, password secret\n"
    "  --digest-camera      add /digest, which needs the same by Digest authentication\n"
    "  --mjpeg-camera       add /mjpeg, a Motion JPEG camera\n"
    "  --resize-camera      add /resize, which halves its picture size every clip loop\n"
    "  --audio-camera       add /audio, live H.264 with AAC sound (a tone)\n"
    "  --control FIFO       also read commands from this FIFO (created if missing)\n"
    "Commands (standard input, --control): drop NAME, restore NAME, quit\n";

struct Options {
    int cameras = 4;
    std::string codec = "h264";
    int width = 1920;
    int height = 1080;
    int fps = 25;
    int kbps = 4000;
    int gopSeconds = 2;
    int bframes = 0;
    int clipSeconds = 4;
    std::string address = "127.0.0.1";
    std::string port = "8554";
    std::string cache;
    bool locked = false;
    bool digest = false;
    bool mjpeg = false;
    bool resize = false;
    bool audio = false;
    std::string control;
};

// One encoded access unit of a clip.
struct AccessUnit {
    std::vector<uint8_t> bytes;
    bool key;
    uint8_t delay;  // frames from its decode time to its presentation time
};
using Clip = std::vector<AccessUnit>;

// ---- Burnt-in clock: seven-segment digits drawn into the luma plane. ----

// Segments a..g of the digits 0..9, bit 0 = a.
constexpr uint8_t kSegments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};

void FillRect(uint8_t* luma, int stride, int x, int y, int w, int h, uint8_t value)
{
    for (int row = y; row < y + h; ++row) {
        std::memset(luma + row * stride + x, value, static_cast<std::size_t>(w));
    }
}

void DrawDigit(uint8_t* luma, int stride, int x, int y, int unit, int digit)
{
    const int w = 4 * unit;
    const int t = unit;
    const uint8_t s = kSegments[digit];
    const struct {
        int x, y, w, h;
    } parts[7] = {{t, 0, w, t},         {w + t, t, t, w}, {w + t, w + 2 * t, t, w}, {t, 2 * w + 2 * t, w, t},
                  {0, w + 2 * t, t, w}, {0, t, t, w},     {t, w + t, w, t}};
    for (int i = 0; i < 7; ++i) {
        if (s & (1 << i)) {
            FillRect(luma, stride, x + parts[i].x, y + parts[i].y, parts[i].w, parts[i].h, 235);
        }
    }
}

struct ClockProbe {
    int width;
    int height;
    int fps;
    uint64_t frame = 0;
};

// Draws SS.FF (clip seconds and frame) on a dark box in the top left corner.
GstPadProbeReturn DrawClock(GstPad*, GstPadProbeInfo* info, gpointer data)
{
    auto* probe = static_cast<ClockProbe*>(data);
    GstBuffer* buffer = gst_buffer_make_writable(GST_PAD_PROBE_INFO_BUFFER(info));
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
        return GST_PAD_PROBE_OK;
    }
    const int stride = GST_ROUND_UP_4(probe->width);
    const int unit = probe->height / 108 > 1 ? probe->height / 108 : 1;
    const int cell = 7 * unit;
    const uint64_t seconds = probe->frame / probe->fps;
    const int digits[4] = {static_cast<int>(seconds / 10 % 10), static_cast<int>(seconds % 10),
                           static_cast<int>(probe->frame % probe->fps / 10),
                           static_cast<int>(probe->frame % probe->fps % 10)};
    if (5 * cell < probe->width && 12 * unit < probe->height) {
        FillRect(map.data, stride, 0, 0, 5 * cell, 12 * unit, 16);
        for (int i = 0; i < 4; ++i) {
            DrawDigit(map.data, stride, unit + i * cell + (i >= 2 ? unit : 0), unit, unit, digits[i]);
        }
    }
    gst_buffer_unmap(buffer, &map);
    ++probe->frame;
    return GST_PAD_PROBE_OK;
}

// ---- Clip encoding and cache ----

std::string ClipName(const Options& o, int width, int height)
{
    return o.codec + "-" + std::to_string(width) + "x" + std::to_string(height) + "-" + std::to_string(o.fps) + "fps-" +
           std::to_string(o.kbps) + "k-gop" + std::to_string(o.gopSeconds) + "-" + std::to_string(o.clipSeconds) +
           "s-b" + std::to_string(o.bframes) + ".clip2";
}

bool LoadClip(const std::string& path, Clip& clip)
{
    std::ifstream in(path, std::ios::binary);
    uint32_t size = 0;
    uint8_t key = 0;
    uint8_t delay = 0;
    while (in.read(reinterpret_cast<char*>(&size), sizeof size) && in.read(reinterpret_cast<char*>(&key), 1) &&
           in.read(reinterpret_cast<char*>(&delay), 1)) {
        AccessUnit unit{std::vector<uint8_t>(size), key != 0, delay};
        if (!in.read(reinterpret_cast<char*>(unit.bytes.data()), size)) {
            return false;
        }
        clip.push_back(std::move(unit));
    }
    return !clip.empty();
}

void SaveClip(const std::string& path, const Clip& clip)
{
    const std::string temporary = path + ".new";
    std::ofstream out(temporary, std::ios::binary);
    for (const AccessUnit& unit : clip) {
        const uint32_t size = static_cast<uint32_t>(unit.bytes.size());
        const uint8_t key = unit.key ? 1 : 0;
        out.write(reinterpret_cast<const char*>(&size), sizeof size);
        out.write(reinterpret_cast<const char*>(&key), 1);
        out.write(reinterpret_cast<const char*>(&unit.delay), 1);
        out.write(reinterpret_cast<const char*>(unit.bytes.data()), size);
    }
    out.close();
    if (out) {
        std::rename(temporary.c_str(), path.c_str());
    }
}

Clip EncodeClip(const Options& o, int width, int height)
{
    const int frames = o.fps * o.clipSeconds;
    const int gop = o.fps * o.gopSeconds;
    // Zero latency means no B-frames: only without them.
    const std::string tune = o.bframes > 0 ? "" : " tune=zerolatency";
    const std::string bframes = std::to_string(o.bframes);
    const std::string encoder =
        o.codec == "h265" ? "x265enc speed-preset=ultrafast" + tune + " key-int-max=" + std::to_string(gop) +
                                " bitrate=" + std::to_string(o.kbps) +
                                " option-string=repeat-headers=1:scenecut=0:open-gop=0:bframes=" + bframes +
                                " ! video/x-h265,stream-format=byte-stream,alignment=au"
                          : "x264enc speed-preset=ultrafast" + tune + " key-int-max=" + std::to_string(gop) +
                                " bitrate=" + std::to_string(o.kbps) + " bframes=" + bframes +
                                " b-adapt=false option-string=scenecut=0 ! video/x-h264,stream-format=byte-stream," +
                                "alignment=au,profile=" + (o.bframes > 0 ? "main" : "high");
    const std::string description =
        "videotestsrc name=src num-buffers=" + std::to_string(frames) +
        " pattern=smpte horizontal-speed=8 ! video/x-raw,format=I420,width=" + std::to_string(width) +
        ",height=" + std::to_string(height) + ",framerate=" + std::to_string(o.fps) + "/1 ! " + encoder +
        " ! appsink name=sink sync=false";
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    if (pipeline == nullptr) {
        std::fprintf(stderr, "camera-server: cannot build the encoder: %s\n", error ? error->message : "?");
        std::exit(1);
    }
    ClockProbe probe{width, height, o.fps};
    GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    GstPad* pad = gst_element_get_static_pad(source, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, DrawClock, &probe, nullptr);
    gst_object_unref(pad);
    gst_object_unref(source);
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    Clip clip;
    std::vector<int64_t> shown;  // each unit's presentation, in frames
    const GstClockTime frameNs = gst_util_uint64_scale_int(GST_SECOND, 1, o.fps);
    while (GstSample* sample = gst_app_sink_pull_sample(GST_APP_SINK(sink))) {
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        GstMapInfo map;
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            clip.push_back({std::vector<uint8_t>(map.data, map.data + map.size),
                            !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT), 0});
            shown.push_back(static_cast<int64_t>((GST_BUFFER_PTS(buffer) + frameNs / 2) / frameNs));
            gst_buffer_unmap(buffer, &map);
        }
        gst_sample_unref(sample);
    }
    // Decode times are the units' places in the clip, pushed back by the
    // deepest reordering so that no unit is shown before it is decoded.
    int64_t reorder = 0;
    for (std::size_t n = 0; n < shown.size(); ++n) {
        reorder = std::max(reorder, static_cast<int64_t>(n) - shown[n]);
    }
    for (std::size_t n = 0; n < shown.size(); ++n) {
        clip[n].delay = static_cast<uint8_t>(shown[n] + reorder - static_cast<int64_t>(n));
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    if (static_cast<int>(clip.size()) != frames || !clip.front().key) {
        std::fprintf(stderr, "camera-server: the encoder gave %zu of %d frames\n", clip.size(), frames);
        std::exit(1);
    }
    return clip;
}

// True for the parameter-set NAL units (H.264 SPS/PPS, H.265 VPS/SPS/PPS).
bool ParameterSet(const std::string& codec, uint8_t header)
{
    if (codec == "h265") {
        const int type = (header >> 1) & 0x3F;
        return type >= 32 && type <= 34;
    }
    const int type = header & 0x1F;
    return type == 7 || type == 8;
}

// The access unit without its parameter-set NAL units.
std::vector<uint8_t> WithoutParameterSets(const std::string& codec, const std::vector<uint8_t>& unit)
{
    std::vector<std::size_t> starts;  // offsets of start codes (00 00 01, or 00 00 00 01)
    for (std::size_t i = 0; i + 3 <= unit.size(); ++i) {
        if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1) {
            starts.push_back(i > 0 && unit[i - 1] == 0 ? i - 1 : i);
            i += 2;
        }
    }
    std::vector<uint8_t> kept;
    for (std::size_t n = 0; n < starts.size(); ++n) {
        const std::size_t begin = starts[n];
        const std::size_t end = n + 1 < starts.size() ? starts[n + 1] : unit.size();
        const std::size_t header = unit[begin + 2] == 1 ? begin + 3 : begin + 4;
        if (header < end && !ParameterSet(codec, unit[header])) {
            kept.insert(kept.end(), unit.begin() + static_cast<std::ptrdiff_t>(begin),
                        unit.begin() + static_cast<std::ptrdiff_t>(end));
        }
    }
    return kept;
}

Clip LoadOrEncode(const Options& o, int width, int height)
{
    const std::string path = o.cache + "/" + ClipName(o, width, height);
    Clip clip;
    if (LoadClip(path, clip)) {
        return clip;
    }
    std::printf("camera-server: encoding %s\n", ClipName(o, width, height).c_str());
    clip = EncodeClip(o, width, height);
    g_mkdir_with_parents(o.cache.c_str(), 0755);
    SaveClip(path, clip);
    return clip;
}

// ---- Serving ----

// What one media (one camera while it has clients) pushes.
struct Feed {
    std::vector<const Clip*> clips;  // played in turn, one loop each
    std::string codec;
    bool inBandHeaders;  // keep parameter sets after the first access unit
    int fps;
    uint64_t pushed = 0;
};

void PushNext(GstElement* source, guint, gpointer data)
{
    auto* feed = static_cast<Feed*>(data);
    const std::size_t loopLength = feed->clips.front()->size();
    const Clip& clip = *feed->clips[feed->pushed / loopLength % feed->clips.size()];
    const AccessUnit& unit = clip[feed->pushed % loopLength];
    const bool strip = !feed->inBandHeaders && feed->pushed > 0 && unit.key;
    const std::vector<uint8_t> bytes = strip ? WithoutParameterSets(feed->codec, unit.bytes) : unit.bytes;
    GstBuffer* buffer = gst_buffer_new_memdup(bytes.data(), bytes.size());
    const GstClockTime duration = gst_util_uint64_scale_int(GST_SECOND, 1, feed->fps);
    GST_BUFFER_DTS(buffer) = feed->pushed * duration;
    GST_BUFFER_PTS(buffer) = (feed->pushed + unit.delay) * duration;
    GST_BUFFER_DURATION(buffer) = duration;
    if (!unit.key) {
        GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
    }
    ++feed->pushed;
    GstFlowReturn result;
    g_signal_emit_by_name(source, "push-buffer", buffer, &result);
    gst_buffer_unref(buffer);
}

struct Camera {
    std::string name;
    GstRTSPMediaFactory* factory = nullptr;
    std::vector<const Clip*> clips;
    bool inBandHeaders = false;
    bool dropped = false;
};

void ConfigureMedia(GstRTSPMediaFactory*, GstRTSPMedia* media, gpointer data)
{
    auto* camera = static_cast<Camera*>(data);
    GstElement* element = gst_rtsp_media_get_element(media);
    GstElement* source = gst_bin_get_by_name_recurse_up(GST_BIN(element), "src");
    if (source != nullptr) {
        const Options* o = static_cast<const Options*>(g_object_get_data(G_OBJECT(camera->factory), "options"));
        auto* feed = new Feed{camera->clips, o->codec, camera->inBandHeaders, o->fps};
        g_object_set_data_full(G_OBJECT(media), "feed", feed, [](gpointer p) { delete static_cast<Feed*>(p); });
        const std::string caps = o->codec == "h265" ? "video/x-h265,stream-format=byte-stream,alignment=au"
                                                    : "video/x-h264,stream-format=byte-stream,alignment=au";
        GstCaps* sourceCaps = gst_caps_from_string(caps.c_str());
        g_object_set(source, "caps", sourceCaps, "format", GST_FORMAT_TIME, "max-bytes", guint64{2} << 20, nullptr);
        gst_caps_unref(sourceCaps);
        g_signal_connect(source, "need-data", G_CALLBACK(PushNext), feed);
        gst_object_unref(source);
    }
    gst_object_unref(element);
}

class Server {
public:
    explicit Server(Options options) : options_(std::move(options)) {}

    bool Start()
    {
        const bool clips = options_.cameras > 0 || options_.resize || options_.locked || options_.digest;
        const ::Clip* main = clips ? &ClipOf(options_.width, options_.height) : nullptr;
        server_ = gst_rtsp_server_new();
        gst_rtsp_server_set_address(server_, options_.address.c_str());
        gst_rtsp_server_set_service(server_, options_.port.c_str());
        SetUpAuth();
        // Clients of their own threads: one slow media preparation does not
        // hold up the others.
        GstRTSPThreadPool* pool = gst_rtsp_server_get_thread_pool(server_);
        gst_rtsp_thread_pool_set_max_threads(pool, 16);
        g_object_unref(pool);
        for (int i = 1; i <= options_.cameras; ++i) {
            AddClipCamera("cam" + std::to_string(i), {main}, false);
        }
        if (options_.resize) {
            AddClipCamera("resize", {main, &ClipOf(options_.width / 2 & ~1, options_.height / 2 & ~1)}, true);
        }
        if (options_.mjpeg) {
            AddLaunchCamera("mjpeg",
                            "( videotestsrc pattern=ball ! video/x-raw,format=I420,width=320,height=240,framerate=5/1"
                            " ! jpegenc ! rtpjpegpay name=pay0 pt=26 )");
        }
        if (options_.audio) {
            AddLaunchCamera("audio",
                            "( videotestsrc is-live=true ! video/x-raw,format=I420,width=320,height=240,framerate=25/1"
                            " ! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=25 ! h264parse"
                            " ! rtph264pay name=pay0 pt=96 config-interval=-1"
                            " audiotestsrc is-live=true wave=sine ! audio/x-raw,rate=16000,channels=1"
                            " ! voaacenc ! aacparse ! rtpmp4gpay name=pay1 pt=97 )");
        }
        if (options_.locked) {
            AddClipCamera("locked", {main}, false);
        }
        if (options_.digest) {
            AddClipCamera("digest", {main}, false);
        }
        if (gst_rtsp_server_attach(server_, nullptr) == 0) {
            std::fprintf(stderr, "camera-server: cannot listen on %s:%s\n", options_.address.c_str(),
                         options_.port.c_str());
            return false;
        }
        const int port = gst_rtsp_server_get_bound_port(server_);
        for (const auto& [name, camera] : cameras_) {
            std::printf("camera-server: %s at rtsp://%s:%d/%s\n", name.c_str(), options_.address.c_str(), port,
                        name.c_str());
        }
        std::printf("camera-server: ready on port %d\n", port);
        return true;
    }

    // One command line; false for quit.
    bool Execute(const std::string& line)
    {
        char verb[16] = "";
        char name[64] = "";
        const int words = std::sscanf(line.c_str(), "%15s %63s", verb, name);
        if (words <= 0) {
            return true;
        }
        if (std::strcmp(verb, "quit") == 0) {
            return false;
        }
        const auto found = cameras_.find(name);
        if (words != 2 || found == cameras_.end() ||
            (std::strcmp(verb, "drop") != 0 && std::strcmp(verb, "restore") != 0)) {
            std::printf("camera-server: unknown command: %s\n", line.c_str());
            return true;
        }
        Camera& camera = found->second;
        const bool drop = verb[0] == 'd';
        if (drop != camera.dropped) {
            camera.dropped = drop;
            GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server_);
            const std::string path = "/" + camera.name;
            if (drop) {
                gst_rtsp_mount_points_remove_factory(mounts, path.c_str());
                CutClients(path);
            } else {
                g_object_ref(camera.factory);  // the mount points take this reference
                gst_rtsp_mount_points_add_factory(mounts, path.c_str(), camera.factory);
            }
            g_object_unref(mounts);
        }
        std::printf("camera-server: %s %s\n", drop ? "dropped" : "restored", camera.name.c_str());
        return true;
    }

private:
    const ::Clip& ClipOf(int width, int height)
    {
        const std::string key = std::to_string(width) + "x" + std::to_string(height);
        auto found = clips_.find(key);
        if (found == clips_.end()) {
            found = clips_.emplace(key, LoadOrEncode(options_, width, height)).first;
        }
        return found->second;
    }

    // /locked answers 401 with a Basic challenge until the request carries
    // the viewer's password; the other cameras are open.
    void SetUpAuth()
    {
        if (options_.digest) {
            SetUpDigest();
        }
        g_signal_connect(server_, "client-connected", G_CALLBACK(+[](GstRTSPServer*, GstRTSPClient* client, gpointer) {
                             g_signal_connect(client, "pre-describe-request", G_CALLBACK(CheckPassword), nullptr);
                             g_signal_connect(client, "send-message", G_CALLBACK(AddChallenge), nullptr);
                         }),
                         nullptr);
    }

    // /digest: GStreamer's own authentication, Digest only; everyone else
    // gets a token that plays every other camera (Mount gives the roles).
    void SetUpDigest()
    {
        GstRTSPAuth* auth = gst_rtsp_auth_new();
        gst_rtsp_auth_set_supported_methods(auth, GST_RTSP_AUTH_DIGEST);
        GstRTSPToken* viewer = gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, "viewer", nullptr);
        gst_rtsp_auth_add_digest(auth, "viewer", "secret", viewer);
        gst_rtsp_token_unref(viewer);
        GstRTSPToken* anyone = gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, "anyone", nullptr);
        gst_rtsp_auth_set_default_token(auth, anyone);
        gst_rtsp_token_unref(anyone);
        gst_rtsp_server_set_auth(server_, auth);
        g_object_unref(auth);
    }

    static GstRTSPStatusCode CheckPassword(GstRTSPClient*, GstRTSPContext* context)
    {
        if (context->uri == nullptr || std::strcmp(context->uri->abspath, "/locked") != 0) {
            return GST_RTSP_STS_OK;
        }
        gchar* expected = gst_rtsp_auth_make_basic("viewer", "secret");
        gchar* given = nullptr;
        gst_rtsp_message_get_header(context->request, GST_RTSP_HDR_AUTHORIZATION, &given, 0);
        const bool ok = given != nullptr && std::string(given) == std::string("Basic ") + expected;
        g_free(expected);
        return ok ? GST_RTSP_STS_OK : GST_RTSP_STS_UNAUTHORIZED;
    }

    static void AddChallenge(GstRTSPClient*, GstRTSPSession*, GstRTSPMessage* message)
    {
        GstRTSPStatusCode code;
        if (gst_rtsp_message_parse_response(message, &code, nullptr, nullptr) == GST_RTSP_OK &&
            code == GST_RTSP_STS_UNAUTHORIZED) {
            gst_rtsp_message_add_header(message, GST_RTSP_HDR_WWW_AUTHENTICATE, "Basic realm=\"camera-server\"");
        }
    }

    Camera& Mount(const std::string& name, GstRTSPMediaFactory* factory)
    {
        gst_rtsp_media_factory_set_shared(factory, TRUE);
        // Everyone may see every camera (GStreamer hides one that is not
        // accessible with a 404); only the viewer may play /digest (401).
        for (const char* role : {"viewer", "anyone"}) {
            const gboolean play = name != "digest" || std::strcmp(role, "viewer") == 0;
            gst_rtsp_media_factory_add_role(factory, role, GST_RTSP_PERM_MEDIA_FACTORY_ACCESS, G_TYPE_BOOLEAN, TRUE,
                                            GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, G_TYPE_BOOLEAN, play, nullptr);
        }
        Camera& camera = cameras_[name];
        camera.name = name;
        camera.factory = factory;  // ours; the mount points get references of their own
        GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server_);
        g_object_ref(factory);
        gst_rtsp_mount_points_add_factory(mounts, ("/" + name).c_str(), factory);
        g_object_unref(mounts);
        return camera;
    }

    void AddClipCamera(const std::string& name, std::vector<const ::Clip*> clips, bool inBandHeaders)
    {
        GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
        const std::string codec = options_.codec;
        const std::string launch = "( appsrc name=src ! " + codec + "parse ! rtp" + codec + "pay name=pay0 pt=96 )";
        gst_rtsp_media_factory_set_launch(factory, launch.c_str());
        g_object_set_data(G_OBJECT(factory), "options", &options_);
        Camera& camera = Mount(name, factory);
        camera.clips = std::move(clips);
        camera.inBandHeaders = inBandHeaders;
        g_signal_connect(factory, "media-configure", G_CALLBACK(ConfigureMedia), &camera);
    }

    void AddLaunchCamera(const std::string& name, const std::string& launch)
    {
        GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
        gst_rtsp_media_factory_set_launch(factory, launch.c_str());
        Mount(name, factory);
    }

    // Closes the connections of every client that watches `path`.
    void CutClients(const std::string& path)
    {
        gst_rtsp_server_client_filter(
            server_,
            [](GstRTSPServer*, GstRTSPClient* client, gpointer data) {
                const std::string& path = *static_cast<const std::string*>(data);
                bool watches = false;
                GList* sessions = gst_rtsp_client_session_filter(client, nullptr, nullptr);
                for (GList* s = sessions; s != nullptr; s = s->next) {
                    gint matched = 0;
                    if (gst_rtsp_session_get_media(GST_RTSP_SESSION(s->data), path.c_str(), &matched) != nullptr) {
                        watches = true;
                    }
                }
                g_list_free_full(sessions, g_object_unref);
                return watches ? GST_RTSP_FILTER_REMOVE : GST_RTSP_FILTER_KEEP;
            },
            const_cast<std::string*>(&path));
    }

    Options options_;
    GstRTSPServer* server_ = nullptr;
    std::map<std::string, ::Clip> clips_;    // by size
    std::map<std::string, Camera> cameras_;  // by name; stable addresses for the signal handlers
};

bool ParseInt(const char* text, int& value, int low)
{
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (*end != '\0' || parsed < low || parsed > 100000) {
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}

bool ParseOptions(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = true;
        if (arg == "--digest-camera") {
            o.digest = true;
            continue;
        }
        if (arg == "--locked-camera") {
            o.locked = true;
            continue;
        }
        if (arg == "--mjpeg-camera") {
            o.mjpeg = true;
            continue;
        }
        if (arg == "--resize-camera") {
            o.resize = true;
            continue;
        }
        if (arg == "--audio-camera") {
            o.audio = true;
            continue;
        }
        if (value == nullptr) {
            return false;
        }
        ++i;
        if (arg == "--cameras") {
            ok = ParseInt(value, o.cameras, 0);
        } else if (arg == "--codec") {
            o.codec = value;
            ok = o.codec == "h264" || o.codec == "h265";
        } else if (arg == "--size") {
            ok = std::sscanf(value, "%dx%d", &o.width, &o.height) == 2 && o.width >= 64 && o.height >= 64;
        } else if (arg == "--fps") {
            ok = ParseInt(value, o.fps, 1);
        } else if (arg == "--kbps") {
            ok = ParseInt(value, o.kbps, 10);
        } else if (arg == "--gop-seconds") {
            ok = ParseInt(value, o.gopSeconds, 1);
        } else if (arg == "--bframes") {
            ok = ParseInt(value, o.bframes, 0) && o.bframes <= 8;
        } else if (arg == "--clip-seconds") {
            ok = ParseInt(value, o.clipSeconds, 1);
        } else if (arg == "--address") {
            o.address = value;
        } else if (arg == "--port") {
            int port = 0;
            ok = ParseInt(value, port, 0) && port < 65536;
            o.port = value;
        } else if (arg == "--cache") {
            o.cache = value;
        } else if (arg == "--control") {
            o.control = value;
        } else {
            ok = false;
        }
        if (!ok) {
            return false;
        }
    }
    if (o.clipSeconds % o.gopSeconds != 0) {
        return false;
    }
    if (o.cache.empty()) {
        const char* home = g_get_user_cache_dir();
        o.cache = std::string(home) + "/dvrcore-camera-server";
    }
    return true;
}

struct CommandSource {
    Server* server;
    GMainLoop* loop;
    std::string pending;
};

gboolean ReadCommands(GIOChannel* channel, GIOCondition, gpointer data)
{
    auto* source = static_cast<CommandSource*>(data);
    char chunk[1024];
    const ssize_t got = ::read(g_io_channel_unix_get_fd(channel), chunk, sizeof chunk);
    if (got <= 0) {
        return FALSE;  // standard input closed: the FIFO and signals remain
    }
    source->pending.append(chunk, static_cast<std::size_t>(got));
    for (std::size_t end; (end = source->pending.find('\n')) != std::string::npos;) {
        const std::string line = source->pending.substr(0, end);
        source->pending.erase(0, end + 1);
        if (!source->server->Execute(line)) {
            g_main_loop_quit(source->loop);
        }
    }
    return TRUE;
}

void WatchCommands(int fd, CommandSource* source)
{
    GIOChannel* channel = g_io_channel_unix_new(fd);
    g_io_add_watch(channel, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP), ReadCommands, source);
    g_io_channel_unref(channel);
}

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    gst_init(&argc, &argv);
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Server server(options);
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    if (!server.Start()) {
        return 1;
    }
    CommandSource stdinSource{&server, loop, {}};
    CommandSource fifoSource{&server, loop, {}};
    WatchCommands(0, &stdinSource);
    if (!options.control.empty()) {
        ::mkfifo(options.control.c_str(), 0600);
        // Read and write: the FIFO never reports end of file between writers.
        const int fd = ::open(options.control.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            std::fprintf(stderr, "camera-server: cannot open %s\n", options.control.c_str());
            return 1;
        }
        WatchCommands(fd, &fifoSource);
    }
    const auto quit = [](gpointer data) -> gboolean {
        g_main_loop_quit(static_cast<GMainLoop*>(data));
        return G_SOURCE_REMOVE;
    };
    g_unix_signal_add(SIGINT, quit, loop);
    g_unix_signal_add(SIGTERM, quit, loop);
    g_main_loop_run(loop);
    std::printf("camera-server: stopped\n");
    return 0;
}
