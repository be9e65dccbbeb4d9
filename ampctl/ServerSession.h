// ampctl's commands through ampd: each one as the SCPI queries and settings ampd takes, and each
// answer turned back into the records the serial path gives, in wire units, so that what is
// printed is the same code. Every answer is checked for its form first (ServerAnswers.h): a line
// of another form is a fault, never a value. Platform-free: it talks through a ServerLine and a
// Clock.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ampctl/AmpLink.h"
#include "engine/Line.h"
#include "ampctl/ServerLine.h"
#include "scpi/Errors.h"

namespace ampctl {

class ServerSession : public AmpLink {
public:
    // The longest single wait, so a stop request is seen promptly.
    static constexpr int kWaitSliceMs = engine::Session::kWaitSliceMs;
    // More errors than ampd queues for a client: an error queue that goes on is a fault.
    static constexpr int kMostErrors = 40;

    // timeoutMs bounds each wait for an answer. name: the port as given (tcp://HOST:PORT), for
    // messages. token: ampd's control token, empty for none; it goes once, before the first
    // setting, and is never in a message.
    ServerSession(ServerLine& line, engine::Clock& clock, const std::atomic<bool>& stop, int timeoutMs, std::string name,
        std::string token);

    // LINK? (down: kLinkDown), then MEAS?, SOUR:CURR?, SOUR:CURR:MAX?, SOUR:POW?, SOUR:MODE?, OUTP?.
    Outcome Status(AmpSettings& amp, proto::StatusReply& status) override;
    // LINK? and MEAS? a reading, on the serial watch's cadence; a link down is a reading missed.
    WatchResult Watch(
        int intervalMs, int count, const ReadingHandler& onReading, const MissedHandler& onMissed) override;
    // The token if any, the setting, *OPC?, and SYST:ERR? until no error: ampd's confirmation.
    SettingResult Set(SettingKind kind, const std::string& value) override;
    std::int32_t MaxCurrentMa() const override { return m_maxCurrentMa; }
    Outcome Alarms(std::vector<LatchedAlarm>& alarms) override;
    Outcome ClearAlarms() override;
    std::string Fault() const override { return m_fault; }

private:
    enum class Wait { kAnswered, kTimedOut, kStopped, kClosed, kTooLong, kTurnedAway };
    using Error = scpi::Error;

    // Reads one line by untilUs, past the late answers to queries given up on.
    Wait Receive(std::string& line, std::int64_t untilUs);
    // Sends a query and reads its answer by untilUs.
    Wait Ask(const std::string& query, std::string& answer, std::int64_t untilUs);
    // Ask with the timeout; a failure is told in words.
    Outcome Query(const std::string& query, std::string& answer);
    // A line ampd answers nothing to.
    Outcome Tell(const std::string& line);
    // A command that needs control: the token first, then the command, *OPC? and its errors.
    Outcome Control(const std::string& command, std::vector<Error>& errors);
    Outcome Authenticate();
    Outcome ReadErrors(std::vector<Error>& errors);
    // What an error of a setting means for the command.
    Outcome Meaning(const Error& error, const std::string& command);
    // What the amplifier holds for a setting, in wire units, when ampd knows.
    Outcome Held(SettingKind kind, std::optional<std::int32_t>& value);

    Outcome Failure(Wait wait, const std::string& query);
    Outcome Fail(Outcome outcome, const std::string& fault);
    Outcome Unreadable(const std::string& query);
    Outcome NothingYet();

    ServerLine& m_line;
    engine::Clock& m_clock;
    const std::atomic<bool>& m_stop;
    std::int64_t m_timeoutUs;
    const std::string m_name;
    const std::string m_token;
    bool m_authenticated = false;
    int m_owed = 0;     // answers still to come to queries given up on
    int m_answers = 0;  // lines taken as answers
    std::string m_lastLine;
    std::string m_fault;
    std::int32_t m_maxCurrentMa = 0;
};

}  // namespace ampctl
