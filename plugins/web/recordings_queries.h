// The recordings of a camera in a time range, asked of the catalog through
// the core: a broadcast RecordingsQuery (bridge_packets.h) under a handle of
// this plugin's; the catalog's RecordingsList answers come back on Write.
//
// Ask runs on the network thread and its callback too, once: with every
// segment when the last list came, or with what came (and `complete` false)
// when no last list came within kQueryTimeout. OnList runs on the core's
// dispatcher thread. The mutex guards the pending queries only; no callback
// runs under it.
#ifndef DVRCORE_WEB_RECORDINGS_QUERIES_H
#define DVRCORE_WEB_RECORDINGS_QUERIES_H

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bridge_packets.h"
#include "core_link.h"

namespace dvrweb {

using Segments = std::vector<dvrexample::RecordingEntry>;
using SegmentsCallback = std::function<void(Segments segments, bool complete)>;

class RecordingsQueries {
public:
    static constexpr std::chrono::seconds kQueryTimeout{3};

    RecordingsQueries(const dvrexample::CoreLink& link, boost::asio::io_context& io) : link_(link), io_(io) {}
    RecordingsQueries(const RecordingsQueries&) = delete;
    RecordingsQueries& operator=(const RecordingsQueries&) = delete;

    void Ask(const std::string& camera, int64_t fromNs, int64_t toNs, SegmentsCallback done);

    // Dispatcher thread; false when `handle` is none of this plugin's.
    bool OnList(void* handle, const dvrexample::RecordingsList& list);

    // Cancels every handle still open; at Close.
    void CancelAll();

private:
    struct Pending;

    void Finish(void* handle, bool complete);
    void Cancel(void* handle) const;

    const dvrexample::CoreLink& link_;
    boost::asio::io_context& io_;
    std::mutex mutex_;
    std::map<void*, std::shared_ptr<Pending>> pending_;  // guarded by mutex_
    unsigned next_ = 0;                                  // guarded by mutex_
};

}  // namespace dvrweb

#endif  // DVRCORE_WEB_RECORDINGS_QUERIES_H
