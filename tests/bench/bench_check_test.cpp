// The benchmark's consumer must catch every fault of an event path that its
// figures would otherwise hide: loss, reordering, duplicates, a truncated or
// corrupted payload. A source feeds it the way a producer does.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_job.h"
#include "bench_sink.h"
#include "bench_source.h"
#include "bench_stamp.h"
#include "bench_window.h"

namespace {

BenchJob Job(const char* text)
{
    BenchJob job;
    EXPECT_EQ(BenchJobParse(text, &job), 0) << text;
    return job;
}

// The records of a whole job, each with its own copy of the payload.
struct Stream {
    std::vector<_EventParmsIn> records;
    std::vector<std::vector<uint8_t>> payloads;
};

Stream Produce(const BenchJob& job)
{
    Stream stream;
    BenchSource source;
    EXPECT_EQ(BenchSourceInit(&source, &job, 0), 0);
    while (!BenchSourceDone(&source)) {
        _EventParmsIn record;
        BenchSourceNext(&source, &record);
        const auto* bytes = static_cast<const uint8_t*>(record.data);
        stream.payloads.emplace_back(bytes, bytes + record.dataSize);
        stream.records.push_back(record);
    }
    BenchSourceFree(&source);
    return stream;
}

// Feeds records `order` (indexes into the stream) to a fresh sink.
std::string Consume(const BenchJob& job, Stream& stream, const std::vector<std::size_t>& order, uint64_t* errors)
{
    BenchSink sink;
    EXPECT_EQ(BenchSinkInit(&sink, &job), 0);
    for (std::size_t index : order) {
        const _EventParmsIn& record = stream.records[index];
        const void* data = stream.payloads[index].empty() ? nullptr : stream.payloads[index].data();
        BenchSinkTake(&sink, static_cast<uint32_t>(stream.payloads[index].size()), data, record.opaque0, record.opaque1,
                      record.opaque2);
    }
    char text[512];
    BenchSinkReport(&sink, text, sizeof text);
    *errors = sink.errors;
    BenchSinkFree(&sink);
    return text;
}

std::vector<std::size_t> InOrder(std::size_t count)
{
    std::vector<std::size_t> order(count);
    for (std::size_t i = 0; i < count; ++i) {
        order[i] = i;
    }
    return order;
}

TEST(BenchCheck, AnIntactStreamPassesAndEveryFaultCounts)
{
    const BenchJob job = Job("payload=9000 events=40 warmup=4");
    Stream stream = Produce(job);
    ASSERT_EQ(stream.records.size(), 40u);
    EXPECT_EQ(stream.records[0].syncFrame, 1);
    EXPECT_EQ(stream.records[1].syncFrame, 0);
    EXPECT_EQ(stream.records[25].syncFrame, 1);
    EXPECT_EQ(stream.records[0].eventType, EVT_VIDEO);
    EXPECT_EQ(stream.records[0].flags, FLAG_FRAME);

    uint64_t errors = 0;
    const std::string intact = Consume(job, stream, InOrder(40), &errors);
    EXPECT_EQ(errors, 0u) << intact;
    EXPECT_EQ(intact.rfind("received=40 errors=0 ", 0), 0u) << intact;

    std::vector<std::size_t> swapped = InOrder(40);
    std::swap(swapped[10], swapped[11]);
    Consume(job, stream, swapped, &errors);
    EXPECT_GT(errors, 0u) << "reordered";

    std::vector<std::size_t> lost = InOrder(40);
    lost.erase(lost.begin() + 7);
    Consume(job, stream, lost, &errors);
    EXPECT_EQ(errors, 1u) << "lost";

    std::vector<std::size_t> twice = InOrder(40);
    twice.insert(twice.begin() + 7, 6);
    Consume(job, stream, twice, &errors);
    EXPECT_EQ(errors, 1u) << "duplicated";

    // The marks at both ends, and a sampled byte of the second page.
    for (std::size_t offset : {std::size_t{0}, std::size_t{8 + BENCH_PATTERN_STRIDE}, std::size_t{8999}}) {
        Stream corrupted = stream;
        corrupted.payloads[3][offset] ^= 0xff;
        const std::string text = Consume(job, corrupted, InOrder(40), &errors);
        EXPECT_EQ(errors, 1u) << "byte " << offset;
        EXPECT_NE(text.find("first_error=\"event 3: payload"), std::string::npos) << text;
    }

    Stream truncated = stream;
    truncated.payloads[5].resize(5000);
    Consume(job, truncated, InOrder(40), &errors);
    EXPECT_EQ(errors, 1u) << "truncated";
}

TEST(BenchCheck, RetriedFrameIsASyncFrameWithTheSameSequence)
{
    const BenchJob job = Job("payload=0 events=3 warmup=0");
    BenchSource source;
    ASSERT_EQ(BenchSourceInit(&source, &job, 0), 0);
    _EventParmsIn first;
    _EventParmsIn second;
    BenchSourceNext(&source, &first);
    BenchSourceNext(&source, &second);
    EXPECT_EQ(second.syncFrame, 0);
    BenchSourceRetry(&source, &second);
    EXPECT_EQ(second.syncFrame, 1);
    EXPECT_EQ(second.data, nullptr);
    EXPECT_EQ(std::memcmp(second.opaque2, "\x01\0\0\0\0\0\0\0", 8), 0);
    BenchSourceFree(&source);
}

TEST(BenchCheck, PacedJobReportsLatencyPercentiles)
{
    const BenchJob job = Job("payload=0 events=21 warmup=1 rate=20000");
    Stream stream = Produce(job);
    uint64_t errors = 0;
    const std::string text = Consume(job, stream, InOrder(21), &errors);
    EXPECT_EQ(errors, 0u);
    // Consumed after the whole stream was produced: every latency is positive.
    EXPECT_EQ(text.find("p50_ns=0 "), std::string::npos) << text;
    EXPECT_EQ(text.find("p99_ns=0"), std::string::npos) << text;
}

TEST(BenchCheck, MalformedJobsAreRefused)
{
    BenchJob job;
    for (const char* text : {"payload=x", "events=0", "warmup=10 events=10", "producers=9", "mode=fast", "speed=1",
                             "payload", "payload=-1"}) {
        EXPECT_EQ(BenchJobParse(text, &job), -1) << text;
    }
    EXPECT_EQ(BenchJobParse("payload=1024 events=5 warmup=1 rate=10 producers=2 window=8 mode=log", &job), 0);
    EXPECT_EQ(job.payload, 1024u);
    EXPECT_EQ(job.producers, 2u);
    EXPECT_EQ(job.window, 8u);
    EXPECT_EQ(job.mode, BENCH_MODE_LOG);
}

// Producer and consumer ends of the window, mapped separately as two plugins
// map it, on two threads whose pace changes at random: the producer is never
// more than the window ahead, and no wake-up is lost (the run ends).
TEST(BenchCheck, WindowBoundsTheProducerAndLosesNoWakeUp)
{
    char dir[] = "/tmp/bench-window.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    constexpr uint32_t kWindow = 4;
    constexpr uint32_t kEvents = 200000;
    BenchWindow producer;
    BenchWindow consumer;
    ASSERT_EQ(BenchWindowOpen(&producer, dir, kWindow), 0);
    ASSERT_EQ(BenchWindowOpen(&consumer, dir, kWindow), 0);
    std::atomic<uint32_t> sent{0};
    std::atomic<uint32_t> ahead{0};
    auto done = std::async(std::launch::async, [&] {
        std::minstd_rand random(7);
        for (uint32_t consumed = 0; consumed < kEvents;) {
            const uint32_t raised = sent.load();
            if (raised == consumed) {
                std::this_thread::yield();
                continue;
            }
            ahead.store(std::max(ahead.load(), raised - consumed));
            if (random() % 4096 == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            ++consumed;
            BenchWindowConsumed(&consumer);
        }
    });
    for (uint32_t i = 0; i < kEvents; ++i) {
        BenchWindowAwaitRoom(&producer);
        sent.fetch_add(1);
    }
    ASSERT_EQ(done.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "a wake-up was lost";
    EXPECT_LE(ahead.load(), kWindow);
    EXPECT_EQ(ahead.load(), kWindow) << "the producer ran ahead as far as it may";
    BenchWindowClose(&producer);
    BenchWindowClose(&consumer);
    std::remove((std::string(dir) + "/window").c_str());
    ::rmdir(dir);
}

}  // namespace
