// GStreamer: appsrc ! appsink, with the producer pushing buffers into appsrc
// and a consumer thread pulling samples from appsink. Each buffer carries the
// record and its payload, copied once into the buffer. appsrc's queue and
// appsink's hold half the job's window each, and a push blocks beyond them;
// the sink does not synchronise to a clock.
#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>

#include <cstring>

#include "channel_job.h"

namespace {

constexpr const char* kPipeline =
    "appsrc name=source is-live=false block=true max-bytes=0 ! "
    "appsink name=sink sync=false enable-last-sample=false drop=false";

class GstChannel {
public:
    static constexpr bool kConsumerThread = true;

    GstChannel(const BenchJob& job, bench::Consumer consumer) : consumer_(consumer)
    {
        gst_init(nullptr, nullptr);
        GError* error = nullptr;
        pipeline_ = gst_parse_launch(kPipeline, &error);
        if (pipeline_ == nullptr) {
            bench::Die(error != nullptr ? error->message : "no pipeline");
        }
        source_ = GST_APP_SRC(gst_bin_get_by_name(GST_BIN(pipeline_), "source"));
        sink_ = GST_APP_SINK(gst_bin_get_by_name(GST_BIN(pipeline_), "sink"));
        if (source_ == nullptr || sink_ == nullptr) {
            bench::Die("the pipeline has no appsrc or appsink");
        }
        const bench::WindowHalves halves = bench::SplitWindow(job.window);
        g_object_set(source_, "max-buffers", static_cast<guint64>(halves.sender), nullptr);
        gst_app_sink_set_max_buffers(sink_, halves.receiver);
        if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
            bench::Die("the pipeline does not play");
        }
    }

    ~GstChannel()
    {
        gst_element_set_state(pipeline_, GST_STATE_NULL);
        gst_object_unref(source_);
        gst_object_unref(sink_);
        gst_object_unref(pipeline_);
    }

    GstChannel(const GstChannel&) = delete;
    GstChannel& operator=(const GstChannel&) = delete;

    void Send(const _EventParmsIn& record)
    {
        GstBuffer* buffer = gst_buffer_new_allocate(nullptr, sizeof record + record.dataSize, nullptr);
        if (buffer == nullptr) {
            bench::Die("no memory for a buffer");
        }
        gst_buffer_fill(buffer, 0, &record, sizeof record);
        if (record.dataSize != 0) {
            gst_buffer_fill(buffer, sizeof record, record.data, record.dataSize);
        }
        if (gst_app_src_push_buffer(source_, buffer) != GST_FLOW_OK) {
            bench::Die("appsrc refused a buffer");
        }
    }

    void Receive()
    {
        GstSample* sample = gst_app_sink_pull_sample(sink_);
        if (sample == nullptr) {
            bench::Die("the stream ended before the last event");
        }
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        GstMapInfo map;
        if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            bench::Die("cannot map a buffer");
        }
        _EventParmsIn record;
        if (map.size < sizeof record) {
            bench::Die("a buffer shorter than a record");
        }
        std::memcpy(&record, map.data, sizeof record);
        if (map.size != sizeof record + record.dataSize) {
            bench::Die("a buffer whose size disagrees with its record");
        }
        record.data = record.dataSize != 0 ? map.data + sizeof record : nullptr;
        consumer_.Take(record);
        gst_buffer_unmap(buffer, &map);
        gst_sample_unref(sample);
    }

    void Finish() { gst_app_src_end_of_stream(source_); }

private:
    bench::Consumer consumer_;
    GstElement* pipeline_ = nullptr;
    GstAppSrc* source_ = nullptr;
    GstAppSink* sink_ = nullptr;
};

}  // namespace

int main(int argc, char** argv)
{
    BenchJob job;
    if (!bench::JobFromArgs(argc, argv, &job)) {
        return 2;
    }
    return bench::RunJob<GstChannel>(job);
}
