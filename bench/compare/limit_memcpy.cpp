// limit-memcpy: the floor of one copy. One thread copies each payload into a
// fresh block, calls the consumer and frees the block; nothing is handed to
// another thread.
#include <cstdlib>

#include "channel_job.h"

namespace {

class MemcpyChannel {
public:
    static constexpr bool kConsumerThread = false;

    MemcpyChannel(const BenchJob&, bench::Consumer consumer) : consumer_(consumer) {}

    void Send(const _EventParmsIn& record)
    {
        const _EventParmsIn copy = bench::CopyEvent(record);
        consumer_.Take(copy);
        std::free(copy.data);
    }
    void Receive() {}
    void Finish() {}

private:
    bench::Consumer consumer_;
};

}  // namespace

int main(int argc, char** argv)
{
    BenchJob job;
    if (!bench::JobFromArgs(argc, argv, &job)) {
        return 2;
    }
    return bench::RunJob<MemcpyChannel>(job);
}
