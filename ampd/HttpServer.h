// HTTP beside SCPI (Boost.Beast on the same io_context): the page and its assets, the state and the
// trend as JSON, Server-Sent Events, Prometheus metrics, and settings as JSON POSTs answered once
// the amplifier has confirmed them. It knows nothing of frames. Security: a Host it does not
// serve is refused (DNS rebinding), control needs "Authorization: Bearer <token>" when a token
// file is given (never a cookie, so no other site can forge it), a POST from another origin or
// without a JSON body is refused, and every request is bounded in size and time.
#pragma once

#include <boost/asio.hpp>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ampd/Amplifier.h"
#include "ampd/Control.h"
#include "ampd/Metrics.h"
#include "engine/SettingQueue.h"

namespace ampd {

class LineFile;

// A file of the page, embedded at build time.
struct WebAsset {
    std::string_view path;  // "/", "/app.js"
    std::string_view type;  // its media type; text is served as UTF-8
    std::string_view body;     // empty when only the compressed form is kept
    std::string_view gzipped;  // empty when not kept compressed
};

// The page's files, made at build time.
std::vector<WebAsset> WebAssets();

class HttpServer {
public:
    static constexpr std::size_t kMaxConnections = 256;
    static constexpr std::size_t kMaxBody = 4096;
    static constexpr std::size_t kMaxHeader = 8192;
    // An event stream that falls this far behind is closed: a slow reader costs no memory.
    static constexpr std::size_t kMaxUnsentEvents = 256 * 1024;

    HttpServer(boost::asio::io_context& io, Amplifier& amp, SettingQueue& queue, const Access& access,
        AuthThrottle& throttle, LineFile& audit, Metrics& metrics, std::vector<WebAsset> assets);
    ~HttpServer();

    // The port listened on (0 takes any free one), or 0 with the reason.
    int Listen(const std::string& address, int port, std::string& error);
    void Stop();
    // Sends an event to every open event stream (on the network's thread).
    void Publish(const std::string& event, const std::string& data);

    class Connection;

private:
    void Accept(boost::asio::ip::tcp::acceptor& acceptor);
    void Forget(Connection* connection);

    boost::asio::io_context& m_io;
    Amplifier& m_amp;
    SettingQueue& m_queue;
    const Access& m_access;
    AuthThrottle& m_throttle;
    LineFile& m_audit;
    Metrics& m_metrics;
    std::vector<WebAsset> m_assets;
    std::vector<std::unique_ptr<boost::asio::ip::tcp::acceptor>> m_acceptors;
    std::set<std::shared_ptr<Connection>> m_connections;
    std::uint64_t m_nextId = 1u << 20;  // apart from the SCPI clients' numbers, for the turns
};

}  // namespace ampd
