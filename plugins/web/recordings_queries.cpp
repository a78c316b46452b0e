#include "recordings_queries.h"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstring>

#include "recorder_events.h"

namespace dvrweb {

namespace {

// The handles are addresses in here: unique among the queries in flight, and
// reused only after thousands of others, long after the core refused a late
// answer to a cancelled one.
char handles[4096];

}  // namespace

struct RecordingsQueries::Pending {
    explicit Pending(boost::asio::io_context& io) : timer(io) {}
    Segments segments;
    SegmentsCallback done;
    boost::asio::steady_timer timer;  // network thread
};

void RecordingsQueries::Ask(const std::string& camera, int64_t fromNs, int64_t toNs, SegmentsCallback done)
{
    auto pending = std::make_shared<Pending>(io_);
    pending->done = std::move(done);
    void* handle = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handle = &handles[next_++ % sizeof handles];
        pending_[handle] = pending;
    }
    pending->timer.expires_after(kQueryTimeout);
    pending->timer.async_wait([this, handle](const boost::system::error_code& error) {
        if (!error) {
            Finish(handle, false);
        }
    });
    dvrexample::RecordingsQuery query{};
    query.fromNs = fromNs;
    query.toNs = toNs;
    std::strncpy(query.camera, camera.c_str(), sizeof query.camera - 1);
    _EventParmsIn in = link_.Event(dvrexample::kDiskType, dvrexample::kRecordingsQueryFlag, &query, sizeof query);
    in.providerID = 0;
    in.handle = handle;
    if (link_.Raise(in) != RESULT_OK) {
        Finish(handle, false);
    }
}

bool RecordingsQueries::OnList(void* handle, const dvrexample::RecordingsList& list)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = pending_.find(handle);
        if (found == pending_.end()) {
            return handle >= static_cast<void*>(handles) && handle < static_cast<void*>(handles + sizeof handles);
        }
        const uint32_t count = std::min<uint32_t>(list.count, dvrexample::kRecordingsPerList);
        Segments& segments = found->second->segments;
        segments.insert(segments.end(), list.entries, list.entries + count);
        for (uint32_t i = segments.size() - count; i < segments.size(); ++i) {
            segments[i].name[sizeof segments[i].name - 1] = '\0';
        }
    }
    if (list.last != 0) {
        boost::asio::post(io_, [this, handle] { Finish(handle, true); });
    }
    return true;
}

void RecordingsQueries::Finish(void* handle, bool complete)
{
    std::shared_ptr<Pending> pending;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = pending_.find(handle);
        if (found == pending_.end()) {
            return;
        }
        pending = found->second;
        pending_.erase(found);
    }
    Cancel(handle);
    pending->timer.cancel();
    pending->done(std::move(pending->segments), complete);
}

void RecordingsQueries::Cancel(void* handle) const
{
    _EventParmsIn in = link_.Event(EVT_CANCEL_HANDLE, 0);
    in.providerID = 0;
    in.handle = handle;
    link_.Raise(in);
}

void RecordingsQueries::CancelAll()
{
    std::map<void*, std::shared_ptr<Pending>> pending;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pending.swap(pending_);
    }
    for (const auto& entry : pending) {
        Cancel(entry.first);
    }
}

}  // namespace dvrweb
