// One HTTP connection: reads requests with limits on header and body size
// and a deadline for each (a slow client is cut off), answers the page's
// files and the API (docs/viewing.md), and hands a WebSocket upgrade for
// live view to a LiveSession. Network thread only; playback and clips are
// read on the media thread and written back here, chunk by chunk, so a
// slow reader holds back only its own stream.
#ifndef DVRCORE_WEB_HTTP_SESSION_H
#define DVRCORE_WEB_HTTP_SESSION_H

#include <boost/asio/ip/tcp.hpp>

#include "web_service.h"

namespace dvrweb {

// A request must arrive whole within this time (header limits: api_request.h).
constexpr int kRequestSeconds = 15;

// Starts serving `socket` (accepted on the network thread).
void ServeConnection(boost::asio::ip::tcp::socket&& socket, WebService& web);

}  // namespace dvrweb

#endif  // DVRCORE_WEB_HTTP_SESSION_H
