#include "ampd/HttpServer.h"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <cctype>
#include <deque>

#include <nlohmann/json.hpp>

#include "ampd/Listener.h"
#include "ampd/Records.h"
#include "ampd/Web.h"

namespace ampd {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using boost::system::error_code;
using nlohmann::json;

namespace {

// A request must come whole within this, so a client that trickles bytes cannot hold a place.
constexpr auto kRequestTimeout = std::chrono::seconds(30);
// After an answer that ends the connection, what the client still sends is read this long, and
// this much, at most.
constexpr int kLingerMs = 2000;
constexpr std::size_t kMostLingered = 32 * 1024 * 1024;

std::string_view View(beast::string_view text)
{
    return {text.data(), text.size()};
}

std::string Lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string Lower(beast::string_view text)
{
    return Lower(View(text));
}

std::string Lower(const std::string& text)
{
    return Lower(std::string_view(text));
}

http::status StatusOf(const ScpiError& error)
{
    switch (error.code) {
    case 220:
        return http::status::unauthorized;
    case 202:
    case 230:
        return http::status::conflict;
    case -222:
        return http::status::unprocessable_entity;
    case 210:
        return http::status::gateway_timeout;
    case 211:
        return http::status::bad_gateway;
    default:
        return http::status::bad_request;
    }
}

// A setting from a POST's path and JSON body; false with the reason for anything else.
bool ReadSetting(const std::string& target, const json& body, SettingAsk& ask, std::string& error)
{
    const auto number = [&](const char* key) {
        if (!body.contains(key) || !body[key].is_number()) {
            error = std::string("the body needs \"") + key + "\": a number";
            return false;
        }
        ask.number = body[key].get<double>();
        return true;
    };
    if (target == "/api/current") {
        ask.kind = proto::SettingKind::kCurrent;
        return number("ma");
    }
    if (target == "/api/power") {
        ask.kind = proto::SettingKind::kPower;
        return number("dbm");
    }
    if (target == "/api/mode") {
        ask.kind = proto::SettingKind::kMode;
        if (body.contains("mode") && body["mode"] == "acc")
            ask.value = proto::kModeAcc;
        else if (body.contains("mode") && body["mode"] == "apc")
            ask.value = proto::kModeApc;
        else
            error = "the body needs \"mode\": \"acc\" or \"apc\"";
        return error.empty();
    }
    ask.kind = proto::SettingKind::kOutput;
    if (!body.contains("on") || !body["on"].is_boolean()) {
        error = "the body needs \"on\": true or false";
        return false;
    }
    ask.value = body["on"].get<bool>() ? proto::kOutputOn : proto::kOutputOff;
    return true;
}

std::string Printable(std::string_view text, std::size_t most)
{
    std::string out;
    for (char c : text.substr(0, most))
        out += (c >= 0x20 && c < 0x7F) ? c : '?';
    return text.size() > most ? out + "..." : out;
}

}  // namespace

class HttpServer::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket socket, HttpServer& server, std::uint64_t id)
        : m_stream(std::move(socket)), m_server(server), m_id(id), m_timer(server.m_io)
    {
        error_code ec;
        const tcp::endpoint peer = m_stream.socket().remote_endpoint(ec);
        const tcp::endpoint local = m_stream.socket().local_endpoint(ec);
        m_peer = peer.address();
        m_address = (m_peer.is_v6() ? "[" + m_peer.to_string() + "]" : m_peer.to_string()) + ":"
            + std::to_string(peer.port());
        AllowHosts(local);
    }

    void Start() { Read(); }

    void Close()
    {
        if (m_closed)
            return;
        m_closed = true;
        error_code ec;
        m_timer.cancel();
        m_stream.socket().shutdown(tcp::socket::shutdown_both, ec);
        m_stream.socket().close(ec);
        m_server.Forget(this);
    }

    bool Streaming() const { return m_streaming && !m_closed; }

    // One event on this stream, as a chunk of the response.
    void Event(const std::string& text)
    {
        if (!Streaming())
            return;
        m_unsent += text.size();
        if (m_unsent > kMaxUnsentEvents) {
            Close();
            return;
        }
        m_events.push_back(text);
        if (m_events.size() == 1 && m_headerSent)
            WriteEvent();
    }

private:
    // The names this server answers to on this address: the address itself, "localhost" on
    // loopback, and the machine's name; with the port, or without it on port 80.
    void AllowHosts(const tcp::endpoint& local)
    {
        const std::string port = std::to_string(local.port());
        std::vector<std::string> names
            = {local.address().is_v6() ? "[" + local.address().to_string() + "]" : local.address().to_string()};
        if (local.address().is_loopback())
            names.push_back("localhost");
        error_code ec;
        const std::string host = asio::ip::host_name(ec);
        if (!ec && !host.empty())
            names.push_back(Lower(host));
        for (const std::string& name : names) {
            m_hosts.insert(name + ":" + port);
            if (local.port() == 80)
                m_hosts.insert(name);
        }
    }

    void Read()
    {
        m_parser.emplace();
        m_parser->header_limit(kMaxHeader);
        m_parser->body_limit(kMaxBody);
        m_stream.expires_after(kRequestTimeout);
        http::async_read(m_stream, m_buffer, *m_parser,
            [self = shared_from_this()](error_code ec, std::size_t) { self->OnRequest(ec); });
    }

    void OnRequest(error_code ec)
    {
        if (m_closed)
            return;
        if (ec == http::error::body_limit || ec == http::error::header_limit) {
            Reply(http::status::payload_too_large, Error("the request is too large"), false);
            return;
        }
        if (ec) {
            if (ec != http::error::end_of_stream && ec != asio::error::eof && ec != beast::error::timeout
                && ec != asio::error::operation_aborted) {
                Reply(http::status::bad_request, Error("a malformed request"), false);
                return;
            }
            Close();
            return;
        }
        m_stream.expires_never();
        m_request = m_parser->release();
        Handle();
    }

    static std::string Error(const std::string& why) { return json{{"ok", false}, {"error", why}}.dump(); }

    void Handle()
    {
        const auto host = m_request.find(http::field::host);
        if (host == m_request.end() || !m_hosts.count(Lower(host->value()))) {
            Reply(http::status::misdirected_request, Error("this server does not serve that host"), false);
            return;
        }
        const std::string target(m_request.target());
        if (m_request.method() == http::verb::get || m_request.method() == http::verb::head) {
            Get(target);
            return;
        }
        if (m_request.method() == http::verb::post && target.rfind("/api/", 0) == 0) {
            Post(target);
            return;
        }
        Reply(http::status::method_not_allowed, Error("GET for pages and state, POST for settings"),
            m_request.keep_alive());
    }

    void Get(const std::string& target)
    {
        const AmpView view = m_server.m_amp.View();
        if (target == "/api/state") {
            Reply(http::status::ok, StateJson(view, m_server.m_access.tokenRequired), m_request.keep_alive());
        } else if (target == "/api/history") {
            Reply(http::status::ok, TrendJson(m_server.m_amp.Trend()), m_request.keep_alive());
        } else if (target == "/metrics") {
            Reply(http::status::ok, MetricsText(view, m_server.m_metrics), m_request.keep_alive(),
                "text/plain; version=0.0.4; charset=utf-8");
        } else if (target == "/api/events") {
            StartEvents();
        } else {
            ServeAsset(target);
        }
    }

    void ServeAsset(const std::string& target)
    {
        for (const WebAsset& asset : m_server.m_assets) {
            if (asset.path != target)
                continue;
            const auto accept = m_request.find(http::field::accept_encoding);
            // Kept only compressed, it goes compressed whatever the client said: every browser takes it.
            const bool gzip = !asset.gzipped.empty()
                && (asset.body.empty()
                    || (accept != m_request.end() && Lower(accept->value()).find("gzip") != std::string::npos));
            auto response = std::make_shared<http::response<http::string_body>>(http::status::ok, m_request.version());
            response->set(http::field::content_type, std::string(asset.type) + "; charset=utf-8");
            if (gzip)
                response->set(http::field::content_encoding, "gzip");
            response->set(http::field::vary, "Accept-Encoding");
            response->body() = std::string(gzip ? asset.gzipped : asset.body);
            Send(response, m_request.keep_alive(), "public, max-age=300");
            return;
        }
        Reply(http::status::not_found, Error("no such page"), m_request.keep_alive());
    }

    // A POST must be this site's own: a JSON body (another site's form cannot send one without
    // asking first, and is not answered), and no foreign Origin.
    bool SameSite()
    {
        const auto origin = m_request.find(http::field::origin);
        const auto host = m_request.find(http::field::host);
        if (origin != m_request.end() && Lower(origin->value()) != "http://" + Lower(host->value()))
            return false;
        const auto site = m_request.find("Sec-Fetch-Site");
        if (site != m_request.end() && site->value() != "same-origin" && site->value() != "none")
            return false;
        const auto type = m_request.find(http::field::content_type);
        return type != m_request.end() && Lower(type->value()).rfind("application/json", 0) == 0;
    }

    void Post(const std::string& target)
    {
        if (!SameSite()) {
            Reply(http::status::forbidden, Error("a setting must come from this page, as JSON"), false);
            return;
        }
        const std::string command = "POST " + target + " " + Printable(m_request.body(), 120);
        // Control: the token in the Authorization header, never anywhere else.
        bool control = !m_server.m_access.tokenRequired;
        if (!control) {
            const auto authorization = m_request.find(http::field::authorization);
            const std::string_view given
                = authorization == m_request.end() ? std::string_view() : View(authorization->value());
            control
                = given.rfind("Bearer ", 0) == 0 && TokenMatches(std::string(given.substr(7)), m_server.m_access.token);
            if (!control && authorization != m_request.end()) {
                Audit(command, "refused: wrong token");
                const int delay = m_server.m_throttle.Failed();
                Later(delay, [this] { Reply(http::status::unauthorized, Error(kNotAuthorised.text), false); });
                return;
            }
        }
        const json body = json::parse(m_request.body(), nullptr, false);
        if (body.is_discarded() || !body.is_object()) {
            Reply(http::status::bad_request, Error("the body is not a JSON object"), m_request.keep_alive());
            return;
        }
        if (target == "/api/alarms/clear") {
            if (!control) {
                Audit(command, "refused: " + FormatScpiError(kNotAuthorised));
                Reply(http::status::unauthorized, Error(kNotAuthorised.text), m_request.keep_alive());
                return;
            }
            m_server.m_amp.ClearAlarms();
            Audit(command, "cleared");
            Reply(http::status::ok, json{{"ok", true}}.dump(), m_request.keep_alive());
            return;
        }
        if (target != "/api/current" && target != "/api/power" && target != "/api/mode" && target != "/api/output") {
            Reply(http::status::not_found, Error("no such setting"), m_request.keep_alive());
            return;
        }
        SettingAsk ask;
        std::string why;
        if (!ReadSetting(target, body, ask, why)) {
            Reply(http::status::bad_request, Error(why), m_request.keep_alive());
            return;
        }
        const std::weak_ptr<Connection> weak = weak_from_this();
        asio::io_context& io = m_server.m_io;
        const bool keepAlive = m_request.keep_alive();
        const std::optional<ScpiError> refused = SubmitSetting(ask, Asker{m_id, m_address, command, control},
            m_server.m_amp, m_server.m_queue, [weak, &io, keepAlive](const SettingDone& done) {
                asio::post(io, [weak, done, keepAlive] {
                    if (const std::shared_ptr<Connection> self = weak.lock())
                        self->Answer(done, keepAlive);
                });
            });
        if (refused) {
            Audit(command, "refused: " + FormatScpiError(*refused));
            Reply(StatusOf(*refused), Error(refused->text), keepAlive);
        }
    }

    // The amplifier's word on a setting, back on the network's thread.
    void Answer(const SettingDone& done, bool keepAlive)
    {
        if (m_closed)
            return;
        const std::optional<ScpiError> error = ErrorOf(done);
        if (error && error->code != kClamped.code) {
            Reply(StatusOf(*error), Error(error->text), keepAlive);
            return;
        }
        json answer{{"ok", true}, {"sent", done.result.sent}, {"clamped", done.result.Clamped()}};
        Reply(http::status::ok, answer.dump(), keepAlive);
    }

    void StartEvents()
    {
        auto response = std::make_shared<http::response<http::empty_body>>(http::status::ok, m_request.version());
        response->set(http::field::content_type, "text/event-stream");
        response->set(http::field::cache_control, "no-store");
        response->chunked(true);
        m_streaming = true;
        auto serializer = std::make_shared<http::response_serializer<http::empty_body>>(*response);
        // The state as it is now goes first; events queue behind the header until it is out.
        Event("event: reading\ndata: " + StateJson(m_server.m_amp.View(), m_server.m_access.tokenRequired) + "\n\n");
        http::async_write_header(
            m_stream, *serializer, [self = shared_from_this(), response, serializer](error_code ec, std::size_t) {
                if (ec || self->m_closed) {
                    self->Close();
                    return;
                }
                self->m_headerSent = true;
                if (!self->m_events.empty())
                    self->WriteEvent();
            });
        WaitForHangUp();
    }

    // A read that ends tells that the client has gone.
    void WaitForHangUp()
    {
        m_stream.socket().async_read_some(
            asio::buffer(m_hangUp), [self = shared_from_this()](error_code ec, std::size_t) {
                if (ec)
                    self->Close();
                else
                    self->WaitForHangUp();  // whatever the client sends on a stream is ignored
            });
    }

    void WriteEvent()
    {
        const std::string& text = m_events.front();
        asio::async_write(m_stream.socket(), http::make_chunk(asio::buffer(text)),
            [self = shared_from_this()](error_code ec, std::size_t) {
                if (ec || self->m_closed) {
                    self->Close();
                    return;
                }
                self->m_unsent -= self->m_events.front().size();
                self->m_events.pop_front();
                if (!self->m_events.empty())
                    self->WriteEvent();
            });
    }

    void Reply(http::status status, const std::string& body, bool keepAlive,
        const char* type = "application/json; charset=utf-8")
    {
        auto response = std::make_shared<http::response<http::string_body>>(status, m_request.version());
        response->set(http::field::content_type, type);
        response->body() = body;
        Send(response, keepAlive, "no-store");
    }

    template <class Body>
    void Send(const std::shared_ptr<http::response<Body>>& response, bool keepAlive, const char* cache)
    {
        response->set(http::field::server, "ampd");
        response->set(http::field::cache_control, cache);
        response->set("X-Content-Type-Options", "nosniff");
        response->set("X-Frame-Options", "DENY");
        response->set("Content-Security-Policy", "default-src 'self'");
        response->keep_alive(keepAlive);
        if (m_request.method() == http::verb::head)
            response->body() = {};
        response->prepare_payload();
        http::async_write(m_stream, *response, [self = shared_from_this(), response](error_code ec, std::size_t) {
            if (ec) {
                self->Close();
                return;
            }
            if (!response->keep_alive()) {
                self->Linger();
                return;
            }
            self->Read();
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
            asio::buffer(m_hangUp), [self = shared_from_this()](error_code ec, std::size_t n) {
                self->m_lingered += n;
                if (ec || self->m_lingered > kMostLingered)
                    self->Close();
                else
                    self->Discard();
            });
    }

    void Later(int delayMs, std::function<void()> work)
    {
        m_timer.expires_after(std::chrono::milliseconds(delayMs));
        m_timer.async_wait([self = shared_from_this(), work = std::move(work)](error_code ec) {
            if (!ec && !self->m_closed)
                work();
        });
    }

    void Audit(const std::string& command, const std::string& outcome)
    {
        m_server.m_audit.Write(AuditLine(m_server.m_amp.Now(), m_address, command, outcome));
    }

    beast::tcp_stream m_stream;
    HttpServer& m_server;
    const std::uint64_t m_id;
    asio::ip::address m_peer;
    std::string m_address;
    std::set<std::string> m_hosts;
    beast::flat_buffer m_buffer{kMaxHeader + kMaxBody};
    std::optional<http::request_parser<http::string_body>> m_parser;
    http::request<http::string_body> m_request;
    asio::steady_timer m_timer;
    bool m_closed = false;
    bool m_streaming = false;
    bool m_headerSent = false;
    std::deque<std::string> m_events;
    std::size_t m_unsent = 0;
    std::size_t m_lingered = 0;
    char m_hangUp[4096];
};

HttpServer::HttpServer(asio::io_context& io, Amplifier& amp, SettingQueue& queue, const Access& access,
    AuthThrottle& throttle, LineFile& audit, Metrics& metrics, std::vector<WebAsset> assets)
    : m_io(io), m_amp(amp), m_queue(queue), m_access(access), m_throttle(throttle), m_audit(audit), m_metrics(metrics),
      m_assets(std::move(assets))
{
}

HttpServer::~HttpServer()
{
    Stop();
}

int HttpServer::Listen(const std::string& address, int port, std::string& error)
{
    std::unique_ptr<tcp::acceptor> acceptor = OpenListener(m_io, address, port, error);
    if (!acceptor)
        return 0;
    boost::system::error_code ec;
    const unsigned short bound = acceptor->local_endpoint(ec).port();
    m_acceptors.push_back(std::move(acceptor));
    Accept(*m_acceptors.back());
    return bound;
}

void HttpServer::Accept(tcp::acceptor& acceptor)
{
    acceptor.async_accept([this, &acceptor](error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor.is_open())
            return;
        if (!ec && m_connections.size() < kMaxConnections) {
            auto connection = std::make_shared<Connection>(std::move(socket), *this, m_nextId++);
            m_connections.insert(connection);
            ++m_metrics.clientsTotal;
            ++m_metrics.clientsConnected;
            connection->Start();
        }
        Accept(acceptor);
    });
}

void HttpServer::Forget(Connection* connection)
{
    for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
        if (it->get() == connection) {
            m_connections.erase(it);
            --m_metrics.clientsConnected;
            return;
        }
    }
}

void HttpServer::Publish(const std::string& event, const std::string& data)
{
    const std::string text = "event: " + event + "\ndata: " + data + "\n\n";
    const auto connections = m_connections;
    for (const auto& connection : connections)
        if (connection->Streaming())
            connection->Event(text);
}

void HttpServer::Stop()
{
    for (auto& acceptor : m_acceptors) {
        error_code ec;
        acceptor->close(ec);
    }
    m_acceptors.clear();
    const auto connections = m_connections;
    for (const auto& connection : connections)
        connection->Close();
}

}  // namespace ampd
