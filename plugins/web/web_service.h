// What the web plugin's network side shares: the core link, the network
// thread's io_context, the media thread (reading recordings, remuxing,
// checking passwords: work that may take a while), the cameras, their live
// feeds and the recordings queries.
//
// The live feeds and the access table are the network thread's alone; the
// camera directory and the queries guard themselves. Everything reaches the
// network thread by post.
#ifndef DVRCORE_WEB_WEB_SERVICE_H
#define DVRCORE_WEB_WEB_SERVICE_H

#include <array>
#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <memory>
#include <string>

#include "camera_directory.h"
#include "core_link.h"
#include "live_feed.h"
#include "log_message.h"
#include "recordings_queries.h"
#include "web_access.h"

namespace dvrweb {

constexpr uint32_t kWebId = 0x00460000;

struct WebService {
    WebService(const dvrexample::CoreLink& coreLink, std::unique_ptr<WebAccess> webAccess, std::string root)
        : link(coreLink), queries(coreLink, io), access(std::move(webAccess)), recordingsRoot(std::move(root))
    {
    }

    template <typename... Args>
    void Log(int level, const char* format, Args... args) const
    {
        LogMessage(link.id(), link.fn(), level, format, args...);
    }

    const dvrexample::CoreLink& link;
    // Before io: the sessions that io's pending handlers hold count down in
    // their destructors, when io goes.
    std::atomic<int> connections{0};
    boost::asio::io_context io{1};
    boost::asio::thread_pool media{1};
    CameraDirectory cameras;
    std::array<LiveFeed, dvrexample::kMaxCameras> feeds;  // network thread
    RecordingsQueries queries;
    std::unique_ptr<WebAccess> access;  // network thread
    std::unique_ptr<boost::asio::ssl::context> tls;  // null: plain HTTP
    const std::string recordingsRoot;
};

}  // namespace dvrweb

#endif  // DVRCORE_WEB_WEB_SERVICE_H
