// Payload blocks freed on the thread that allocated them.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "block_homes.h"
#include "event_test_core.h"

using namespace block_homes;

namespace {

void* Block(uint32_t size)
{
    void* block = std::malloc(size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

// A thread that runs the steps it is given, one at a time, until it is
// destroyed: a raiser whose home outlives single calls.
class Raiser {
public:
    Raiser() : thread_([this] { Loop(); }) {}
    ~Raiser()
    {
        Run([this] { done_ = true; });
        thread_.join();
    }

    void Run(const std::function<void()>& step)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        step_ = step;
        cond_.notify_all();
        cond_.wait(lock, [this] { return !step_; });
    }

    HomeId Collect()
    {
        HomeId id = kNoHome;
        Run([&] { id = CollectOwnHome(); });
        return id;
    }

private:
    void Loop()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!done_) {
            cond_.wait(lock, [this] { return static_cast<bool>(step_); });
            step_();
            step_ = nullptr;
            cond_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable cond_;
    std::function<void()> step_;  // guarded by mutex_
    bool done_ = false;           // raiser thread only
    std::thread thread_;
};

TEST(EventBlockHomes, BlocksWaitForTheirRaiserWithinTheHomeLimit)
{
    CollectAllHomes();
    ASSERT_EQ(0u, ParkedBytes());
    HomeId home = kNoHome;
    {
        Raiser raiser;
        home = raiser.Collect();
        ASSERT_NE(kNoHome, home);
        EXPECT_EQ(home, raiser.Collect());  // a thread keeps its home

        // Sent from this thread, freed by the raiser at its next collection.
        SendHome(Block(1000), 1000, home);
        SendHome(Block(24), 24, home);
        EXPECT_EQ(1024u, ParkedBytes());
        raiser.Collect();
        EXPECT_EQ(0u, ParkedBytes());

        // Freed at once: a block too small for the link, one over the limit,
        // one to no home, one to a home out of range, and what overflows it.
        SendHome(Block(1), 1, home);
        SendHome(Block(kHomeBytes + 1), kHomeBytes + 1, home);
        SendHome(Block(64), 64, kNoHome);
        SendHome(Block(64), 64, static_cast<HomeId>(kHomeCount));
        EXPECT_EQ(0u, ParkedBytes());
        SendHome(Block(kHomeBytes - 100), kHomeBytes - 100, home);
        SendHome(Block(200), 200, home);
        EXPECT_EQ(kHomeBytes - 100, ParkedBytes());
        SendHome(Block(100), 100, home);
        EXPECT_EQ(kHomeBytes, ParkedBytes());

        // Memory running short: everything parked goes back now.
        CollectAllHomes();
        EXPECT_EQ(0u, ParkedBytes());
        SendHome(Block(4096), 4096, home);
    }
    // The raiser ended: what waited is freed, and its home takes nothing more.
    EXPECT_EQ(0u, ParkedBytes());
    SendHome(Block(4096), 4096, home);
    EXPECT_EQ(0u, ParkedBytes());
}

TEST(EventBlockHomes, ThreadsBeyondTheHomesFreeTheirOwnBlocks)
{
    // Threads take homes until none is left (this thread may hold one); the
    // thread that found none stays without, even when one comes free.
    std::vector<std::unique_ptr<Raiser>> raisers;
    std::vector<bool> seen(kHomeCount, false);
    HomeId home = kNoHome;
    do {
        raisers.push_back(std::make_unique<Raiser>());
        home = raisers.back()->Collect();
        if (home != kNoHome) {
            ASSERT_LT(home, kHomeCount);
            EXPECT_FALSE(seen[home]);
            seen[home] = true;
        }
    } while (home != kNoHome && raisers.size() <= kHomeCount);
    ASSERT_EQ(kNoHome, home);
    ASSERT_GE(raisers.size(), 2u);
    raisers.erase(raisers.end() - 2);
    EXPECT_EQ(kNoHome, raisers.back()->Collect());
    SendHome(Block(64), 64, kNoHome);
    EXPECT_EQ(0u, ParkedBytes());

    // The home given up is taken by the next new thread.
    Raiser next;
    EXPECT_NE(kNoHome, next.Collect());
}

TEST(EventBlockHomes, ManySendersOneRaiserLoseNothing)
{
    // Senders race each other and the raiser's collections; every block is
    // freed exactly once (the sanitizer builds check it), nothing stays parked.
    Raiser raiser;
    const HomeId home = raiser.Collect();
    ASSERT_NE(kNoHome, home);
    std::atomic<bool> stop{false};
    std::thread collector([&] {
        while (!stop) {
            raiser.Collect();
        }
    });
    std::vector<std::thread> senders;
    for (int t = 0; t < 3; ++t) {
        senders.emplace_back([home] {
            for (int i = 0; i < 20000; ++i) {
                SendHome(Block(64), 64, home);
            }
        });
    }
    for (auto& sender : senders) {
        sender.join();
    }
    stop = true;
    collector.join();
    raiser.Collect();
    EXPECT_EQ(0u, ParkedBytes());
}

TEST(EventBlockHomes, DispatchedPayloadsGoBackToTheirRaiser)
{
    CollectAllHomes();
    const char payload[100] = "frame";
    {
        // A raiser that lives on: the dispatched blocks wait for it.
        eventtest::TestCore core;
        Raiser raiser;
        for (int i = 0; i < 3; ++i) {
            raiser.Run([&] {
                EXPECT_EQ(RESULT_OK, core.Raise(eventtest::Event(0x10000, EVT_STATUS, 0, payload, sizeof payload)));
            });
        }
        core.Drain();
        EXPECT_EQ(3 * sizeof payload, ParkedBytes());
        raiser.Collect();
        EXPECT_EQ(0u, ParkedBytes());
    }
    {
        // A raiser that has ended: its blocks are freed where they are released.
        eventtest::TestCore core;
        std::thread([&] {
            EXPECT_EQ(RESULT_OK, core.Raise(eventtest::Event(0x10000, EVT_STATUS, 0, payload, sizeof payload)));
        }).join();
        core.Drain();
        EXPECT_EQ(0u, ParkedBytes());
    }
}

}  // namespace
