// One client's SCPI conversation: its lines parsed, queries answered from what the server knows,
// settings handed to the line and their outcome queued as errors, *OPC? held until every earlier
// setting is done, and control rights. Platform-free: the connection around it moves the lines
// and runs what it posts; it knows nothing of frames, and this knows nothing of sockets.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "ampd/Amplifier.h"
#include "ampd/Control.h"
#include "engine/SettingQueue.h"
#include "scpi/Parser.h"

namespace ampd {

// What a client's commands need from the server around them, all on the client's own thread.
class ClientHost {
public:
    virtual ~ClientHost() = default;
    virtual void Send(const std::string& line) = 0;  // one answer, without its end
    virtual void After(int delayMs, std::function<void()> work) = 0;
    virtual void Audit(const std::string& command, const std::string& outcome) = 0;
};

// Runs work on a client's thread; callable from any thread, and after the client has gone (the
// work is then dropped).
using Poster = std::function<void(std::function<void()> work)>;

class ScpiClient {
public:
    static constexpr std::size_t kMaxErrors = 32;

    ScpiClient(std::uint64_t id, std::string address, Amplifier& amp, SettingQueue& queue, const Access& access,
        AuthThrottle& throttle, ClientHost& host, Poster post, std::string version);
    ScpiClient(const ScpiClient&) = delete;
    ScpiClient& operator=(const ScpiClient&) = delete;

    // One line from the client, without its end.
    void Line(std::string_view line);
    bool HasControl() const { return !m_access.tokenRequired || m_authenticated; }
    // Settings handed to the line whose outcome has not come back yet.
    int Pending() const { return m_pending; }

private:
    void Run();
    // False when the request must wait (for settings still pending, or a throttle).
    bool Execute(const scpi::Request& request);
    void Query(const scpi::Request& request, const AmpView& view);
    void Set(const scpi::Request& request);
    void Authenticate(const scpi::Request& request);
    void Done(const SettingDone& done);
    void Queue(const ScpiError& error);

    const std::uint64_t m_id;
    const std::string m_address;
    Poster m_post;
    Amplifier& m_amp;
    SettingQueue& m_queue;
    const Access& m_access;
    AuthThrottle& m_throttle;
    ClientHost& m_host;
    const std::string m_version;
    std::deque<scpi::Item> m_waiting;  // parsed, not yet carried out, in order
    std::deque<ScpiError> m_errors;
    int m_pending = 0;
    bool m_authenticated = false;
    bool m_throttled = false;
};

}  // namespace ampd
