// ZeroMQ: a PUSH socket on the producer thread and a PULL socket on the
// consumer thread, joined in-process. Each message carries the record and
// its payload, copied once into the message. The in-process pipe holds the
// sender's and the receiver's high-water marks together: half the job's
// window each, and a send blocks beyond them.
#include <zmq.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "channel_job.h"

namespace {

void Check(bool ok)
{
    if (!ok) {
        bench::Die(zmq_strerror(zmq_errno()));
    }
}

class ZmqChannel {
public:
    static constexpr bool kConsumerThread = true;

    ZmqChannel(const BenchJob& job, bench::Consumer consumer)
        : consumer_(consumer),
          context_(zmq_ctx_new()),
          push_(zmq_socket(context_, ZMQ_PUSH)),
          pull_(zmq_socket(context_, ZMQ_PULL))
    {
        const int linger = 0;
        const bench::WindowHalves halves = bench::SplitWindow(job.window);
        const int sendMark = static_cast<int>(halves.sender);
        const int receiveMark = static_cast<int>(halves.receiver);
        Check(push_ != nullptr && pull_ != nullptr);
        Check(zmq_setsockopt(push_, ZMQ_LINGER, &linger, sizeof linger) == 0);
        Check(zmq_setsockopt(push_, ZMQ_SNDHWM, &sendMark, sizeof sendMark) == 0);
        Check(zmq_setsockopt(pull_, ZMQ_RCVHWM, &receiveMark, sizeof receiveMark) == 0);
        Check(zmq_bind(pull_, "inproc://dvrbench") == 0);
        Check(zmq_connect(push_, "inproc://dvrbench") == 0);
    }

    ~ZmqChannel()
    {
        zmq_close(push_);
        zmq_close(pull_);
        zmq_ctx_term(context_);
    }

    ZmqChannel(const ZmqChannel&) = delete;
    ZmqChannel& operator=(const ZmqChannel&) = delete;

    void Send(const _EventParmsIn& record)
    {
        zmq_msg_t message;
        Check(zmq_msg_init_size(&message, sizeof record + record.dataSize) == 0);
        auto* bytes = static_cast<uint8_t*>(zmq_msg_data(&message));
        std::memcpy(bytes, &record, sizeof record);
        if (record.dataSize != 0) {
            std::memcpy(bytes + sizeof record, record.data, record.dataSize);
        }
        Check(zmq_msg_send(&message, push_, 0) >= 0);
    }

    void Receive()
    {
        zmq_msg_t message;
        Check(zmq_msg_init(&message) == 0);
        Check(zmq_msg_recv(&message, pull_, 0) >= 0);
        const auto* bytes = static_cast<const uint8_t*>(zmq_msg_data(&message));
        const std::size_t size = zmq_msg_size(&message);
        _EventParmsIn record;
        if (size < sizeof record) {
            bench::Die("a message shorter than a record");
        }
        std::memcpy(&record, bytes, sizeof record);
        if (size != sizeof record + record.dataSize) {
            bench::Die("a message whose size disagrees with its record");
        }
        record.data = record.dataSize != 0 ? const_cast<uint8_t*>(bytes + sizeof record) : nullptr;
        consumer_.Take(record);
        zmq_msg_close(&message);
    }

    void Finish() {}

private:
    bench::Consumer consumer_;
    void* context_;
    void* push_;
    void* pull_;
};

}  // namespace

int main(int argc, char** argv)
{
    BenchJob job;
    if (!bench::JobFromArgs(argc, argv, &job)) {
        return 2;
    }
    return bench::RunJob<ZmqChannel>(job);
}
