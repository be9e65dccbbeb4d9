// What ampd's HTTP side answers, apart from the connection it came on, as Beast's own examples keep
// their handle_request: a parsed request, and what the server knows (the amplifier's view, the
// metrics, the page's files, who may set), give a response; or an event stream; or, for a setting,
// a response that comes once the amplifier has confirmed it (or not). Security: a Host it does not
// serve is refused (DNS rebinding), control needs "Authorization: Bearer <token>" when a token file
// is given (never a cookie, so no other site can forge it), and a POST from another origin or
// without a JSON body is refused.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/http.hpp>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "ampd/Amplifier.h"
#include "ampd/Control.h"
#include "ampd/Metrics.h"
#include "ampd/Web.h"
#include "engine/SettingQueue.h"

namespace ampd {

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;
using HttpResponse = boost::beast::http::response<boost::beast::http::string_body>;

// The connection a request came on, as its routes need it.
struct Caller {
    std::uint64_t id = 0;
    std::string address;                           // as the audit names it
    const std::set<std::string>* hosts = nullptr;  // the Host names served where it came in
    std::function<void(const std::string& command, const std::string& outcome)> audit;
    // Takes a setting's response once the amplifier has answered: it goes out on the network's
    // thread, or nowhere when the connection has gone meanwhile.
    std::function<void(HttpResponse response)> later;
};

// What a request gets.
struct Routed {
    enum class Kind {
        kRespond,  // the response, after delayMs
        kStream,   // the event stream, firstEvent first
        kPending,  // a setting on its way: its response comes through the caller's later
    };
    Kind kind = Kind::kRespond;
    HttpResponse response;
    int delayMs = 0;
    std::string firstEvent;
};

class HttpRoutes {
public:
    HttpRoutes(Amplifier& amp, SettingQueue& queue, const Access& access, AuthThrottle& throttle,
        const Metrics& metrics, std::vector<WebAsset> assets);

    Routed Handle(const HttpRequest& request, const Caller& caller) const;

private:
    Routed Get(const HttpRequest& request) const;
    Routed Post(const HttpRequest& request, const Caller& caller) const;
    HttpResponse Asset(const HttpRequest& request) const;

    Amplifier& m_amp;
    SettingQueue& m_queue;
    const Access& m_access;
    AuthThrottle& m_throttle;
    const Metrics& m_metrics;
    const std::vector<WebAsset> m_assets;
};

// The names a server answers to on the address a client came to: the address itself, "localhost"
// on loopback, and the machine's name; with the port, or without it on port 80.
std::set<std::string> HostsServed(const boost::asio::ip::tcp::endpoint& local);

// {"ok":false,"error":why}, for a request refused before it could be read whole.
HttpResponse ErrorResponse(
    const HttpRequest& request, boost::beast::http::status status, const std::string& why, bool keepAlive);

// One Server-Sent Event.
std::string EventText(const std::string& event, const std::string& data);

}  // namespace ampd
