#include "channel_job.h"

namespace bench {

namespace {

void DeliverToSink(BenchSink* sink, const _EventParmsIn& record)
{
    BenchSinkTake(sink, record.dataSize, record.data, record.opaque0, record.opaque1, record.opaque2);
}

}  // namespace

DeliverFn deliverToSink = DeliverToSink;

bool JobFromArgs(int argc, char** argv, BenchJob* job)
{
    if (argc != 2 || BenchJobParse(argv[1], job) != 0 || job->producers != 1 || job->mode != BENCH_MODE_EVENTS) {
        std::fprintf(stderr, "usage: %s \"payload=<bytes> events=<n> warmup=<n> rate=<events/s>\"\n", argv[0]);
        return false;
    }
    return true;
}

int Report(BenchSink* sink)
{
    char text[512];
    BenchSinkReport(sink, text, sizeof text);
    std::printf("%s\n", text);
    return sink->errors == 0 && BenchSinkDone(sink) ? 0 : 1;
}

}  // namespace bench
