#include "ampd/HttpRoutes.h"

#include <boost/asio/ip/host_name.hpp>

#include <cctype>
#include <utility>

#include <nlohmann/json.hpp>

#include "ampd/Web.h"

namespace ampd {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using nlohmann::json;

namespace {

constexpr const char* kJsonType = "application/json; charset=utf-8";

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

// Our errors as HTTP says them; anything else is the request's own fault.
http::status StatusOf(const ScpiError& error)
{
    const std::pair<const scpi::KnownError*, http::status> statuses[] = {
        {&kNotAuthorised, http::status::unauthorized},
        {&kAlarmLatched, http::status::conflict},
        {&kLinkDown, http::status::conflict},
        {&kOutOfRange, http::status::unprocessable_entity},
        {&kNoAnswer, http::status::gateway_timeout},
        {&kNotConfirmed, http::status::bad_gateway},
    };
    for (const auto& [known, status] : statuses)
        if (error.code == known->code)
            return status;
    return http::status::bad_request;
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

std::string Error(const std::string& why)
{
    return json{{"ok", false}, {"error", why}}.dump();
}

// The headers every answer carries; HEAD has them without the body.
HttpResponse Finished(HttpResponse response, bool head, bool keepAlive, const char* cache)
{
    response.set(http::field::server, "ampd");
    response.set(http::field::cache_control, cache);
    response.set("X-Content-Type-Options", "nosniff");
    response.set("X-Frame-Options", "DENY");
    response.set("Content-Security-Policy", "default-src 'self'");
    response.keep_alive(keepAlive);
    if (head)
        response.body() = {};
    response.prepare_payload();
    return response;
}

HttpResponse Reply(
    unsigned version, bool head, http::status status, std::string body, bool keepAlive, const char* type = kJsonType)
{
    HttpResponse response(status, version);
    response.set(http::field::content_type, type);
    response.body() = std::move(body);
    return Finished(std::move(response), head, keepAlive, "no-store");
}

HttpResponse Reply(
    const HttpRequest& request, http::status status, std::string body, bool keepAlive, const char* type = kJsonType)
{
    return Reply(request.version(), request.method() == http::verb::head, status, std::move(body), keepAlive, type);
}

Routed Now(HttpResponse response, int delayMs = 0)
{
    Routed routed;
    routed.response = std::move(response);
    routed.delayMs = delayMs;
    return routed;
}

// A POST must be this site's own: a JSON body (another site's form cannot send one without
// asking first, and is not answered), and no foreign Origin.
bool SameSite(const HttpRequest& request)
{
    const auto origin = request.find(http::field::origin);
    const auto host = request.find(http::field::host);
    if (origin != request.end() && Lower(origin->value()) != "http://" + Lower(host->value()))
        return false;
    const auto site = request.find("Sec-Fetch-Site");
    if (site != request.end() && site->value() != "same-origin" && site->value() != "none")
        return false;
    const auto type = request.find(http::field::content_type);
    return type != request.end() && Lower(type->value()).rfind("application/json", 0) == 0;
}

// The amplifier's word on a setting.
HttpResponse SettingAnswer(const SettingDone& done, unsigned version, bool keepAlive)
{
    const std::optional<ScpiError> error = ErrorOf(done);
    if (error && error->code != kClamped.code)
        return Reply(version, false, StatusOf(*error), Error(error->text), keepAlive);
    const json answer{{"ok", true}, {"sent", done.result.sent}, {"clamped", done.result.Clamped()}};
    return Reply(version, false, http::status::ok, answer.dump(), keepAlive);
}

}  // namespace

HttpRoutes::HttpRoutes(Amplifier& amp, SettingQueue& queue, const Access& access, AuthThrottle& throttle,
    const Metrics& metrics, std::vector<WebAsset> assets)
    : m_amp(amp), m_queue(queue), m_access(access), m_throttle(throttle), m_metrics(metrics),
      m_assets(std::move(assets))
{
}

Routed HttpRoutes::Handle(const HttpRequest& request, const Caller& caller) const
{
    const auto host = request.find(http::field::host);
    if (host == request.end() || !caller.hosts->count(Lower(host->value())))
        return Now(
            Reply(request, http::status::misdirected_request, Error("this server does not serve that host"), false));
    if (request.method() == http::verb::get || request.method() == http::verb::head)
        return Get(request);
    if (request.method() == http::verb::post && View(request.target()).rfind("/api/", 0) == 0)
        return Post(request, caller);
    return Now(Reply(request, http::status::method_not_allowed, Error("GET for pages and state, POST for settings"),
        request.keep_alive()));
}

Routed HttpRoutes::Get(const HttpRequest& request) const
{
    const std::string target(request.target());
    const AmpView view = m_amp.View();
    const bool keepAlive = request.keep_alive();
    if (target == "/api/state")
        return Now(Reply(request, http::status::ok, StateJson(view, m_access.tokenRequired), keepAlive));
    if (target == "/api/history")
        return Now(Reply(request, http::status::ok, TrendJson(m_amp.Trend()), keepAlive));
    if (target == "/metrics")
        return Now(Reply(request, http::status::ok, MetricsText(view, m_metrics), keepAlive,
            "text/plain; version=0.0.4; charset=utf-8"));
    if (target == "/api/events") {
        Routed routed;
        routed.kind = Routed::Kind::kStream;
        routed.firstEvent = EventText("reading", StateJson(view, m_access.tokenRequired));
        return routed;
    }
    return Now(Asset(request));
}

HttpResponse HttpRoutes::Asset(const HttpRequest& request) const
{
    const bool head = request.method() == http::verb::head;
    for (const WebAsset& asset : m_assets) {
        if (asset.path != View(request.target()))
            continue;
        const auto accept = request.find(http::field::accept_encoding);
        // Kept only compressed, it goes compressed whatever the client said: every browser takes it.
        const bool gzip = !asset.gzipped.empty()
            && (asset.body.empty()
                || (accept != request.end() && Lower(accept->value()).find("gzip") != std::string::npos));
        HttpResponse response(http::status::ok, request.version());
        response.set(http::field::content_type, std::string(asset.type) + "; charset=utf-8");
        if (gzip)
            response.set(http::field::content_encoding, "gzip");
        response.set(http::field::vary, "Accept-Encoding");
        response.body() = std::string(gzip ? asset.gzipped : asset.body);
        return Finished(std::move(response), head, request.keep_alive(), "public, max-age=300");
    }
    return Reply(request, http::status::not_found, Error("no such page"), request.keep_alive());
}

Routed HttpRoutes::Post(const HttpRequest& request, const Caller& caller) const
{
    if (!SameSite(request))
        return Now(
            Reply(request, http::status::forbidden, Error("a setting must come from this page, as JSON"), false));
    const std::string target(request.target());
    const bool keepAlive = request.keep_alive();
    const std::string command = "POST " + target + " " + Printable(request.body(), 120);
    // Control: the token in the Authorization header, never anywhere else.
    bool control = !m_access.tokenRequired;
    if (!control) {
        const auto authorization = request.find(http::field::authorization);
        const std::string_view given
            = authorization == request.end() ? std::string_view() : View(authorization->value());
        control = given.rfind("Bearer ", 0) == 0 && TokenMatches(std::string(given.substr(7)), m_access.token);
        if (!control && authorization != request.end()) {
            caller.audit(command, "refused: wrong token");
            const int delay = m_throttle.Failed();
            return Now(Reply(request, http::status::unauthorized, Error(kNotAuthorised.text), false), delay);
        }
    }
    const json body = json::parse(request.body(), nullptr, false);
    if (body.is_discarded() || !body.is_object())
        return Now(Reply(request, http::status::bad_request, Error("the body is not a JSON object"), keepAlive));
    if (target == "/api/alarms/clear") {
        if (!control) {
            caller.audit(command, "refused: " + FormatScpiError(kNotAuthorised));
            return Now(Reply(request, http::status::unauthorized, Error(kNotAuthorised.text), keepAlive));
        }
        m_amp.ClearAlarms();
        caller.audit(command, "cleared");
        return Now(Reply(request, http::status::ok, json{{"ok", true}}.dump(), keepAlive));
    }
    if (target != "/api/current" && target != "/api/power" && target != "/api/mode" && target != "/api/output")
        return Now(Reply(request, http::status::not_found, Error("no such setting"), keepAlive));
    SettingAsk ask;
    std::string why;
    if (!ReadSetting(target, body, ask, why))
        return Now(Reply(request, http::status::bad_request, Error(why), keepAlive));
    const unsigned version = request.version();
    const std::optional<ScpiError> refused = SubmitSetting(ask, Asker{caller.id, caller.address, command, control},
        m_amp, m_queue, [later = caller.later, version, keepAlive](const SettingDone& done) {
            later(SettingAnswer(done, version, keepAlive));
        });
    if (refused) {
        caller.audit(command, "refused: " + FormatScpiError(*refused));
        return Now(Reply(request, StatusOf(*refused), Error(refused->text), keepAlive));
    }
    Routed routed;
    routed.kind = Routed::Kind::kPending;
    return routed;
}

std::set<std::string> HostsServed(const asio::ip::tcp::endpoint& local)
{
    const std::string port = std::to_string(local.port());
    std::vector<std::string> names
        = {local.address().is_v6() ? "[" + local.address().to_string() + "]" : local.address().to_string()};
    if (local.address().is_loopback())
        names.push_back("localhost");
    boost::system::error_code ec;
    const std::string host = asio::ip::host_name(ec);
    if (!ec && !host.empty())
        names.push_back(Lower(std::string_view(host)));
    std::set<std::string> hosts;
    for (const std::string& name : names) {
        hosts.insert(name + ":" + port);
        if (local.port() == 80)
            hosts.insert(name);
    }
    return hosts;
}

HttpResponse ErrorResponse(const HttpRequest& request, http::status status, const std::string& why, bool keepAlive)
{
    return Reply(request, status, Error(why), keepAlive);
}

std::string EventText(const std::string& event, const std::string& data)
{
    return "event: " + event + "\ndata: " + data + "\n\n";
}

}  // namespace ampd
