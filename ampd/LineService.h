// The amplifier's serial line on the io_context: opened as ampctl opens it (the same locks, so
// nothing else can share it), tried again every second while it is missing, busy or failed, and
// handed to the line engine while it works. Bytes are read as they come, each frame is written
// when the engine says, and the engine's next time is a timer; there is no thread of the line.
#pragma once

#include <boost/asio.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/LineOwner.h"

namespace ampctl {
class SerialPort;
}

namespace ampd {

class LineService : public engine::LineOut {
public:
    using Say = std::function<void(const std::string&)>;

    LineService(boost::asio::io_context& io, std::string port, engine::SettingQueue& queue, engine::LineSink& sink,
        const engine::GuardLimits& limits, engine::LineCounters& counters, Say say);
    ~LineService() override;

    // A line that behaves to a panel as the amplifier does; its bytes go to PanelReceive.
    void SetPanel(engine::PanelPort* panel) { m_panel = panel; }
    void PanelReceive(const std::uint8_t* bytes, std::size_t n);

    void Start();
    // What waits fails, nothing more is sent, and the port is let go.
    void Stop();

    engine::Us Write(const std::uint8_t* bytes, std::size_t n) override;

    struct Port;

private:
    void Open();
    void Read();
    void Failed(const std::string& why);
    // The timer set for the engine's next time.
    void Arm();
    // After work that may have moved the engine's next time, from outside its own calls.
    void Poke();

public:
    // The line's clock: the steady clock in microseconds.
    static engine::Us Now();

private:

    boost::asio::io_context& m_io;
    const std::string m_portName;
    engine::SettingQueue& m_queue;
    engine::LineSink& m_sink;
    const engine::GuardLimits m_limits;
    engine::LineCounters& m_counters;
    Say m_say;
    engine::PanelPort* m_panel = nullptr;
    std::unique_ptr<Port> m_port;
    std::unique_ptr<engine::LineOwner> m_owner;
    boost::asio::steady_timer m_timer;
    boost::asio::steady_timer m_reopen;
    engine::Us m_armedFor = engine::kNever;
    unsigned m_line = 0;  // which opening of the port this is: late completions of an old one are dropped
    bool m_stopped = false;
    std::string m_lastError;
    std::string m_lastNote;
    std::uint8_t m_in[256];
    std::uint8_t m_out[proto::kMaxCommandFrame];
};

}  // namespace ampd
