#include "ampd/HttpServer.h"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <optional>

namespace ampd {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

// A request must come whole within this, so a client that trickles bytes cannot hold a place.
constexpr auto kRequestTimeout = std::chrono::seconds(30);
// After an answer that ends the connection, what the client still sends is read this long, and
// this much, at most.
constexpr int kLingerMs = 2000;
constexpr std::size_t kMostLingered = 32 * 1024 * 1024;

}  // namespace

class HttpServer::Session : public Connection {
public:
    Session(tcp::socket socket, HttpServer& server, std::uint64_t id)
        : Connection(server.m_connections, socket, id, kMaxUnsentEvents), m_stream(std::move(socket)), m_server(server)
    {
        error_code ec;
        m_hosts = HostsServed(m_stream.socket().local_endpoint(ec));
    }

    void Start() override { Read(); }

    // One event on this stream, as a chunk of the response; queued behind the head until it is out.
    void Event(const std::string& text)
    {
        if (m_streaming && !Closed())
            Write(text);
    }

private:
    tcp::socket& Socket() override { return m_stream.socket(); }

    void WriteOut(const std::string& text, Completion done) override
    {
        asio::async_write(m_stream.socket(), http::make_chunk(asio::buffer(text)),
            [done = std::move(done)](const error_code& ec, std::size_t) { done(ec); });
    }

    void Read()
    {
        m_parser.emplace();
        m_parser->header_limit(kMaxHeader);
        m_parser->body_limit(kMaxBody);
        m_stream.expires_after(kRequestTimeout);
        http::async_read(m_stream, m_buffer, *m_parser,
            [self = shared_from_this(), this](error_code ec, std::size_t) { OnRequest(ec); });
    }

    void OnRequest(error_code ec)
    {
        if (Closed())
            return;
        if (ec == http::error::body_limit || ec == http::error::header_limit) {
            Respond(ErrorResponse(m_request, http::status::payload_too_large, "the request is too large", false));
            return;
        }
        if (ec) {
            if (ec != http::error::end_of_stream && ec != asio::error::eof && ec != beast::error::timeout
                && ec != asio::error::operation_aborted) {
                Respond(ErrorResponse(m_request, http::status::bad_request, "a malformed request", false));
                return;
            }
            Close();
            return;
        }
        m_stream.expires_never();
        m_request = m_parser->release();
        Routed routed = m_server.m_routes.Handle(m_request, Asking());
        switch (routed.kind) {
        case Routed::Kind::kRespond:
            if (routed.delayMs > 0) {
                auto response = std::make_shared<HttpResponse>(std::move(routed.response));
                Later(routed.delayMs, [this, response] { Respond(response); });
            } else {
                Respond(std::move(routed.response));
            }
            break;
        case Routed::Kind::kStream:
            StartEvents(std::move(routed.firstEvent));
            break;
        case Routed::Kind::kPending:
            break;  // the amplifier's word comes through the caller's later
        }
    }

    Caller Asking()
    {
        Caller caller;
        caller.id = Id();
        caller.address = Address();
        caller.hosts = &m_hosts;
        caller.audit = [this](const std::string& command, const std::string& outcome) { Audit(command, outcome); };
        // Back on the network's thread; the work runs only while the connection is open.
        caller.later = [this, post = PostBack()](HttpResponse response) {
            auto shared = std::make_shared<HttpResponse>(std::move(response));
            post([this, shared] { Respond(shared); });
        };
        return caller;
    }

    void StartEvents(std::string first)
    {
        auto response = std::make_shared<http::response<http::empty_body>>(http::status::ok, m_request.version());
        response->set(http::field::content_type, "text/event-stream");
        response->set(http::field::cache_control, "no-store");
        response->chunked(true);
        m_streaming = true;
        auto serializer = std::make_shared<http::response_serializer<http::empty_body>>(*response);
        // The state as it is now goes first; events queue behind the head until it is out.
        Hold();
        Event(first);
        http::async_write_header(
            m_stream, *serializer, [self = shared_from_this(), this, response, serializer](error_code ec, std::size_t) {
                if (ec || Closed()) {
                    Close();
                    return;
                }
                Release();
            });
        WaitForHangUp();
    }

    // A read that ends tells that the client has gone.
    void WaitForHangUp()
    {
        m_stream.socket().async_read_some(
            asio::buffer(m_hangUp), [self = shared_from_this(), this](error_code ec, std::size_t) {
                if (ec)
                    Close();
                else
                    WaitForHangUp();  // whatever the client sends on a stream is ignored
            });
    }

    void Respond(HttpResponse response) { Respond(std::make_shared<HttpResponse>(std::move(response))); }

    void Respond(const std::shared_ptr<HttpResponse>& response)
    {
        http::async_write(m_stream, *response, [self = shared_from_this(), this, response](error_code ec, std::size_t) {
            if (ec)
                Close();
            else if (!response->keep_alive())
                Linger();
            else
                Read();
        });
    }

    // Closing on a client still sending (a body too large) would reset the connection before it
    // reads the answer: the sending side is shut, and what still comes is read and dropped for a
    // while, within bounds, before the close.
    void Linger()
    {
        error_code ec;
        m_stream.socket().shutdown(tcp::socket::shutdown_send, ec);
        m_lingered = 0;
        Later(kLingerMs, [this] { Close(); });
        Discard();
    }

    void Discard()
    {
        m_stream.socket().async_read_some(
            asio::buffer(m_hangUp), [self = shared_from_this(), this](error_code ec, std::size_t n) {
                m_lingered += n;
                if (ec || m_lingered > kMostLingered)
                    Close();
                else
                    Discard();
            });
    }

    beast::tcp_stream m_stream;
    HttpServer& m_server;
    std::set<std::string> m_hosts;
    beast::flat_buffer m_buffer{kMaxHeader + kMaxBody};
    std::optional<http::request_parser<http::string_body>> m_parser;
    HttpRequest m_request;
    bool m_streaming = false;
    std::size_t m_lingered = 0;
    char m_hangUp[4096];
};

HttpServer::HttpServer(asio::io_context& io, Amplifier& amp, SettingQueue& queue, const Access& access,
    AuthThrottle& throttle, LineFile& audit, Metrics& metrics, std::vector<WebAsset> assets)
    : m_routes(amp, queue, access, throttle, metrics, std::move(assets)),
      // Past the limit a connection is let go unanswered. Its numbers stand apart from the SCPI
      // clients', for the turns.
      m_connections(io, amp, audit, metrics, {kMaxConnections, 0, "", ""}, 1u << 20,
          [this](
              tcp::socket socket, std::uint64_t id) { return std::make_shared<Session>(std::move(socket), *this, id); })
{
}

void HttpServer::Publish(const std::string& event, const std::string& data)
{
    const std::string text = EventText(event, data);
    // Every member is one of this server's sessions.
    m_connections.ForEach([&text](Connection& connection) { static_cast<Session&>(connection).Event(text); });
}

}  // namespace ampd
