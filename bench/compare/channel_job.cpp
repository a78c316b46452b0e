#include "channel_job.h"

#include <cstdlib>
#include <cstring>

namespace bench {

namespace {

void DeliverToSink(BenchSink* sink, const _EventParmsIn& record)
{
    BenchSinkTake(sink, record.dataSize, record.data, record.opaque0, record.opaque1, record.opaque2);
}

}  // namespace

DeliverFn deliverToSink = DeliverToSink;

void Die(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    std::fflush(stdout);
    std::_Exit(1);
}

_EventParmsIn CopyEvent(const _EventParmsIn& record)
{
    _EventParmsIn copy = record;
    copy.data = nullptr;
    if (record.data != nullptr && record.dataSize != 0) {
        copy.data = std::malloc(record.dataSize);
        if (copy.data == nullptr) {
            Die("no memory for a payload copy");
        }
        std::memcpy(copy.data, record.data, record.dataSize);
    }
    return copy;
}

bool JobFromArgs(int argc, char** argv, BenchJob* job)
{
    if (argc != 2 || BenchJobParse(argv[1], job) != 0 || job->producers != 1 || job->window == 0 ||
        job->mode != BENCH_MODE_EVENTS) {
        std::fprintf(stderr, "usage: %s \"payload=<bytes> events=<n> warmup=<n> rate=<events/s> window=<n>\"\n",
                     argv[0]);
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
