// ampd: owns the amplifier's serial line and serves every client, all on one io_context: the line
// engine driven by the port's bytes and a timer, the SCPI and HTTP servers, and the panel's line.
// They meet in the setting queue and the shared Amplifier record.
#include <boost/asio.hpp>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "ampd/Amplifier.h"
#include "ampd/HttpServer.h"
#include "ampd/LineService.h"
#include "ampd/Options.h"
#ifndef _WIN32
#include "ampd/PanelPty.h"
#include "ampd/SystemdNotify.h"
#endif
#include "ampd/Records.h"
#include "ampd/StateFile.h"
#include "ampd/Web.h"
#include "ampd/ScpiServer.h"

namespace {

namespace asio = boost::asio;
using namespace ampd;

enum Exit { kExitStopped = 0, kExitFailed = 1, kExitUsage = 2 };

// A link down for longer is an outage: recorded, since nothing could be watched or switched off.
constexpr auto kBlip = std::chrono::seconds(1);

void Say(const std::string& line)
{
    std::fprintf(stderr, "ampd: %s\n", line.c_str());
    std::fflush(stderr);
}

// The token is the file's first line, without its line end and surrounding blanks. Read with stdio:
// a file stream would bring the C++ library's locales into the program.
bool ReadToken(const std::string& path, std::string& token, std::string& error)
{
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = path + ": cannot be read";
        return false;
    }
    token.clear();
    for (int c = std::fgetc(file); c != EOF && c != '\n'; c = std::fgetc(file))
        token.push_back(static_cast<char>(c));
    std::fclose(file);
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!token.empty() && blank(token.back()))
        token.pop_back();
    std::size_t start = 0;
    while (start < token.size() && blank(token[start]))
        ++start;
    token.erase(0, start);
    if (token.size() < 8) {
        error = path + ": the token (its first line) must be at least 8 characters";
        return false;
    }
    return true;
}

std::string OutcomeText(const SettingDone& done)
{
    switch (done.fate) {
    case Fate::kConfirmed:
        return done.result.Clamped() ? "confirmed, clamped to " + std::to_string(done.result.sent) : "confirmed";
    case Fate::kNoAnswer:
        return "failed: no answer from the amplifier";
    case Fate::kNotConfirmed:
        return "failed: not confirmed"
            + (done.result.held ? " (the amplifier reports " + std::to_string(*done.result.held) + ")" : std::string());
    case Fate::kLinkDown:
        return "failed: link down, nothing sent";
    case Fate::kAlarmLatched:
        return "refused: alarm latched, nothing sent";
    case Fate::kStopped:
        return "failed: ampd stopping";
    case Fate::kWithdrawn:
        return "withdrawn: the client has gone, nothing sent";
    case Fate::kExpired:
        return "failed: not sent within 1.5 s, nothing sent";
    }
    return "?";
}

// The line's news, for everyone: the shared record, the files, and the outage watch.
class Sink : public engine::LineSink {
public:
    Sink(asio::io_context& io, Amplifier& amp, LineFile& audit, LineFile& readings, Metrics& metrics, HttpServer* http,
        bool tokenRequired)
        : m_amp(amp), m_audit(audit), m_readings(readings), m_metrics(metrics), m_http(http),
          m_tokenRequired(tokenRequired), m_outage(io)
    {
    }

    // Told of each change of the link after the record has it.
    std::function<void(bool up)> onLink;

    void OnLink(bool up) override
    {
        m_amp.SetLink(up);
        Say(up ? "link up" : "link down");
        if (onLink)
            onLink(up);
        // The page learns of a lost link at once, not from readings that stop coming.
        Publish("reading", StateJson(m_amp.View(), m_tokenRequired));
        WatchOutage(up, m_amp.Now());
    }

    void OnReply(const proto::Reply& reply) override
    {
        m_amp.Apply(reply);
        const auto* status = std::get_if<proto::StatusReply>(&reply);
        if (status && m_readings.IsOpen())
            m_readings.Write(ReadingsLine(m_amp.Now(), *status));
        if (status)
            Publish("reading", StateJson(m_amp.View(), m_tokenRequired));
    }

    bool OnBreach(const engine::Breach& breach) override
    {
        const Alarm alarm{breach.name, breach.value, m_amp.Now()};
        if (!m_amp.Latch(alarm))
            return false;
        char value[32];
        std::snprintf(value, sizeof value, "%.2f", breach.value);
        Say("alarm " + breach.name + " " + value + ": switching the output off");
        m_audit.Write(AuditLine(alarm.time, "guard", "ALARM " + breach.name + " " + value, "latched"));
        Publish("alarm", AlarmJson(alarm));
        return true;
    }

    bool LimitAlarmLatched() override { return m_amp.View().LimitAlarmLatched(); }

    void OnSettingDone(const SettingRequest& request, const SettingDone& done) override
    {
        ++(done.fate == Fate::kConfirmed ? m_metrics.settingsConfirmed : m_metrics.settingsFailed);
        if (request.byGuard)
            return AuditGuardOff(done);
        m_audit.Write(AuditLine(m_amp.Now(), request.who, request.command, OutcomeText(done)));
    }

    // The guard tries its OFF again until it is confirmed, for as long as the amplifier is away:
    // the first failure is audited, and the count of tries with the end.
    void AuditGuardOff(const SettingDone& done)
    {
        const bool confirmed = done.fate == Fate::kConfirmed;
        if (!confirmed && m_guardTries++ > 0)
            return;
        std::string outcome = OutcomeText(done);
        if (!confirmed)
            outcome += "; trying again until confirmed";
        else if (m_guardTries > 0)
            outcome += " after " + std::to_string(m_guardTries + 1) + " tries";
        m_audit.Write(AuditLine(m_amp.Now(), "guard", "OUTP OFF", outcome));
        if (confirmed)
            m_guardTries = 0;
    }

    // The link is still down a blip after it went.
    void WatchOutage(bool up, WallTime since)
    {
        m_outage.cancel();
        if (up)
            return;
        m_outage.expires_after(kBlip);
        m_outage.async_wait([this, since](const boost::system::error_code& ec) {
            if (ec || m_amp.View().linkUp)
                return;
            m_amp.RecordOutage(since);
            Say("alarm LINK: the link has been down for over a second");
            m_audit.Write(AuditLine(since, "line", "ALARM LINK", "latched: link down"));
            for (const Alarm& alarm : m_amp.View().alarms)
                if (alarm.name == "LINK" && m_http)
                    m_http->Publish("alarm", AlarmJson(alarm));
        });
    }

private:
    void Publish(const char* event, const std::string& data)
    {
        if (m_http)
            m_http->Publish(event, data);
    }

    Amplifier& m_amp;
    LineFile& m_audit;
    LineFile& m_readings;
    Metrics& m_metrics;
    HttpServer* m_http;
    const bool m_tokenRequired;
    asio::steady_timer m_outage;
    int m_guardTries = 0;  // the guard's OFF failed so many times since it was last confirmed
};

int Run(int argc, char** argv)
{
    const ParseResult parsed = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    switch (parsed.outcome) {
    case Parsed::kHelp:
        std::printf("%s\n", kUsage);
        return kExitStopped;
    case Parsed::kVersion:
        std::printf("ampd %s\n", AMPD_VERSION);
        return kExitStopped;
    case Parsed::kUsageError:
        Say(parsed.error + " (ampd --help)");
        return kExitUsage;
    case Parsed::kRun:
        break;
    }
    const Options& options = parsed.options;
#ifdef _WIN32
    if (!options.panelLink.empty()) {
        Say("--panel-link needs a pseudo-terminal, which Windows has not: see the docs for a null-modem pair");
        return kExitUsage;
    }
#endif

    Access access;
    if (!options.tokenFile.empty()) {
        std::string error;
        if (!ReadToken(options.tokenFile, access.token, error)) {
            Say(error);
            return kExitUsage;
        }
        access.tokenRequired = true;
    }
    LineFile audit;
    LineFile readings;
    std::string error;
    if ((!options.audit.empty() && !audit.Open(options.audit, "", error))
        || (!options.log.empty() && !readings.Open(options.log, ReadingsHeader(), error))) {
        Say(error);
        return kExitFailed;
    }

    asio::io_context io;
    Amplifier amp;
    // Latches outlive ampd: kept before they are reported, read back before the line is opened.
    const std::string statePath = options.state.empty() ? DefaultStatePath(options.port) : options.state;
    const auto tellState = [&](const std::string& trouble) {
        Say(trouble);
        audit.Write(AuditLine(amp.Now(), "ampd", "STATE " + statePath, trouble));
    };
    if (!KeepAlarms(amp, statePath, tellState, error)) {
        Say(error);
        return kExitUsage;
    }
    for (const Alarm& alarm : amp.View().alarms)
        Say("alarm " + alarm.name + " kept from before the start: the output stays off until it is cleared");
    SettingQueue queue(LineService::Now);
    Metrics metrics;
    AuthThrottle throttle;
    ScpiServer scpi(io, amp, queue, access, throttle, audit, metrics, AMPD_VERSION);
    std::unique_ptr<HttpServer> http;
    if (!options.http.empty())
        http = std::make_unique<HttpServer>(io, amp, queue, access, throttle, audit, metrics, WebAssets());
    for (const Endpoint& endpoint : options.http) {
        const int port = http->Listen(endpoint.address, endpoint.port, error);
        if (port == 0) {
            Say("cannot listen on " + error);
            return kExitFailed;
        }
        const bool v6 = endpoint.address.find(':') != std::string::npos;
        Say("HTTP on " + (v6 ? "[" + endpoint.address + "]" : endpoint.address) + ":" + std::to_string(port)
            + (access.tokenRequired ? ", control with the token" : ""));
    }
    for (const Endpoint& endpoint : options.scpi) {
        const int port = scpi.Listen(endpoint.address, endpoint.port, error);
        if (port == 0) {
            Say("cannot listen on " + error);
            return kExitFailed;
        }
        const bool v6 = endpoint.address.find(':') != std::string::npos;
        Say("SCPI on " + (v6 ? "[" + endpoint.address + "]" : endpoint.address) + ":" + std::to_string(port)
            + (access.tokenRequired ? ", control with the token" : ""));
    }
    if (options.guard.Any())
        Say("guard: " + options.guardRules);

    Sink sink(io, amp, audit, readings, metrics, http.get(), access.tokenRequired);
    LineService line(io, options.port, queue, sink, options.guard, metrics.line, Say);
    // A latch or a clear of anyone's: the line looks at once (latched means off).
    amp.OnAlarmsChanged([&line] { line.Poke(); });
#ifndef _WIN32
    std::unique_ptr<PanelPty> panel;
    if (!options.panelLink.empty()) {
        panel = std::make_unique<PanelPty>(
            io, options.panelLink, Say, [&line](const std::uint8_t* bytes, std::size_t n) { line.PanelReceive(bytes, n); });
        line.SetPanel(panel.get());
    }
#endif
#ifndef _WIN32
    // systemd (Type=notify): ready once every listener listens, whatever the amplifier does; the
    // link in systemctl status; the watchdog fed from the loop; a reload (SIGHUP, after logrotate)
    // reopens the files.
    SystemdNotify notify = SystemdNotify::FromEnvironment();
    sink.onLink = [&](bool up) {
        notify.Status(std::string(up ? "link up" : "link down")
            + ", clients: " + std::to_string(metrics.clientsConnected.load())
            + ", alarms latched: " + std::to_string(amp.View().alarms.size()));
    };
    asio::steady_timer watchdog(io);
    std::function<void()> feedWatchdog = [&] {
        notify.Watchdog();
        watchdog.expires_after(*notify.WatchdogInterval());
        watchdog.async_wait([&](const boost::system::error_code& ec) {
            if (!ec)
                feedWatchdog();
        });
    };
    asio::signal_set hangup(io, SIGHUP);
    std::function<void()> onHangup = [&] {
        hangup.async_wait([&](const boost::system::error_code& ec, int) {
            if (ec)
                return;
            notify.Reloading();
            for (LineFile* file : {&audit, &readings})
                if (!file->Reopen(error))
                    Say(error + "; still writing where it was");
            Say("files reopened");
            notify.Ready();
            onHangup();
        });
    };
    onHangup();
#endif
    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const boost::system::error_code& ec, int) {
        if (ec)
            return;
#ifndef _WIN32
        notify.Stopping();
#endif
        Say("stopping");
        line.Stop();
        scpi.Stop();
        if (http)
            http->Stop();
        io.stop();
    });
#ifndef _WIN32
    notify.Ready();  // after the SIGHUP handler: systemd may reload as soon as it is told
    if (notify.WatchdogInterval())
        feedWatchdog();
#endif
    line.Start();
    io.run();
    line.Stop();
    return kExitStopped;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        Say(e.what());
        return kExitFailed;
    }
}
