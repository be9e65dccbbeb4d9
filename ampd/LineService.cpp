#include "ampd/LineService.h"

#include <chrono>

#ifdef _WIN32
#include <windows.h>
#else
#include <termios.h>

#include "ampctl/SerialPort.h"
#endif

namespace ampd {

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

// How often a port that is missing, busy or failed is tried again.
constexpr auto kReopenEvery = std::chrono::seconds(1);

}  // namespace

#ifdef _WIN32
// Windows: the port opened by Asio (overlapped, not shared) at 9600 8N1 without flow control.
struct LineService::Port {
    explicit Port(asio::io_context& io) : line(io) {}
    asio::serial_port line;

    bool Open(const std::string& name, std::string& error, std::string&)
    {
        error_code ec;
        line.open("\\\\.\\" + name, ec);
        if (!ec)
            line.set_option(asio::serial_port_base::baud_rate(9600), ec);
        if (!ec)
            line.set_option(asio::serial_port_base::character_size(8), ec);
        if (!ec)
            line.set_option(asio::serial_port_base::parity(asio::serial_port_base::parity::none), ec);
        if (!ec)
            line.set_option(asio::serial_port_base::stop_bits(asio::serial_port_base::stop_bits::one), ec);
        if (!ec)
            line.set_option(asio::serial_port_base::flow_control(asio::serial_port_base::flow_control::none), ec);
        if (ec) {
            error = name + ": " + ec.message();
            return false;
        }
        PurgeComm(line.native_handle(), PURGE_RXCLEAR | PURGE_TXCLEAR);
        return true;
    }
    // A reply belongs to the frame just sent.
    void DiscardInput() { PurgeComm(line.native_handle(), PURGE_RXCLEAR); }
    void Close()
    {
        error_code ec;
        line.close(ec);
    }
};
#else
// Linux: the port opened and locked as ampctl opens it, its descriptor waited on by Asio.
struct LineService::Port {
    explicit Port(asio::io_context& io) : line(io) {}
    ~Port() { Close(); }
    std::unique_ptr<ampctl::SerialPort> serial;
    asio::posix::stream_descriptor line;

    bool Open(const std::string& name, std::string& error, std::string& note)
    {
        serial = ampctl::SerialPort::Open(name, error, note);
        if (!serial)
            return false;
        line.assign(serial->EventDescriptor());
        return true;
    }
    void DiscardInput() { tcflush(line.native_handle(), TCIFLUSH); }
    void Close()
    {
        if (line.is_open()) {
            error_code ec;
            line.cancel(ec);
            line.release();  // the serial port closes it, once its settings are back
        }
        serial.reset();
    }
};
#endif

LineService::LineService(asio::io_context& io, std::string port, engine::SettingQueue& queue, engine::LineSink& sink,
    const engine::GuardLimits& limits, engine::LineCounters& counters, Say say)
    : m_io(io), m_portName(std::move(port)), m_queue(queue), m_sink(sink), m_limits(limits), m_counters(counters),
      m_say(std::move(say)), m_timer(io), m_reopen(io)
{
    // A client's setting may come while the engine waits for its next time.
    m_queue.OnPush([this] { Poke(); });

}

LineService::~LineService()
{
    m_queue.OnPush(nullptr);
    Stop();
}

engine::Us LineService::Now()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void LineService::Start()
{
    m_sink.OnLink(false);
    Open();
}

void LineService::Open()
{
    if (m_stopped)
        return;
    std::string error;
    std::string note;
    auto port = std::make_unique<Port>(m_io);
    const bool opened = port->Open(m_portName, error, note);
    if (!note.empty() && note != m_lastNote)
        m_say(note);
    m_lastNote = note;
    if (!opened) {
        if (error != m_lastError)
            m_say(error + "; trying again every second");
        m_lastError = error;
        m_reopen.expires_after(kReopenEvery);
        m_reopen.async_wait([this](const error_code& ec) {
            if (!ec)
                Open();
        });
        return;
    }
    m_lastError.clear();
    m_say(m_portName + " open");
    m_port = std::move(port);
    ++m_line;
    m_owner = std::make_unique<engine::LineOwner>(*this, m_queue, m_sink, m_limits, m_panel);
    m_owner->CountInto(&m_counters);
    Read();
    m_owner->Tick(Now());
    Arm();
}

void LineService::Read()
{
    const unsigned line = m_line;
    m_port->line.async_read_some(asio::buffer(m_in), [this, line](const error_code& ec, std::size_t n) {
        if (line != m_line || !m_owner)
            return;
        if (ec) {
            Failed(ec.message());
            return;
        }
        m_owner->Receive(Now(), m_in, n);
        if (m_owner) {
            Arm();
            Read();
        }
    });
}

engine::Us LineService::Write(const std::uint8_t* bytes, std::size_t n)
{
    if (!m_port || n > sizeof m_out)
        return kFailed;
    std::copy(bytes, bytes + n, m_out);
    m_port->DiscardInput();
    const unsigned line = m_line;
    asio::async_write(m_port->line, asio::buffer(m_out, n), [this, line](const error_code& ec, std::size_t) {
        if (line != m_line || !m_owner)
            return;
        if (ec) {
            Failed(ec.message());
            return;
        }
        // The spacing counts from here: the frame has gone to the driver.
        m_owner->Written(Now());
        if (m_owner)
            Arm();
    });
    return kPending;
}

void LineService::Failed(const std::string& why)
{
    m_owner->LineFailed(Now());
    m_owner.reset();
    m_port.reset();
    ++m_line;
    m_timer.cancel();
    m_armedFor = engine::kNever;
    if (m_stopped)
        return;
    m_say(m_portName + ": the port stopped working (" + why + "); trying again every second");
    m_reopen.expires_after(kReopenEvery);
    m_reopen.async_wait([this](const error_code& ec) {
        if (!ec)
            Open();
    });
}

void LineService::Arm()
{
    if (!m_owner)
        return;
    const engine::Us wake = m_owner->NextWakeUs();
    if (wake == m_armedFor)
        return;
    m_armedFor = wake;
    if (wake == engine::kNever) {
        m_timer.cancel();
        return;
    }
    m_timer.expires_at(std::chrono::steady_clock::time_point(std::chrono::microseconds(wake)));
    m_timer.async_wait([this](const error_code& ec) {
        if (ec || !m_owner)
            return;
        m_armedFor = engine::kNever;
        m_owner->Tick(Now());
        Arm();
    });
}

void LineService::Poke()
{
    asio::post(m_io, [this] {
        if (!m_owner)
            return;
        m_owner->Tick(Now());
        Arm();
    });
}

void LineService::PanelReceive(const std::uint8_t* bytes, std::size_t n)
{
    if (!m_owner)
        return;
    m_owner->PanelReceive(Now(), bytes, n);
    Arm();
}

void LineService::Stop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    if (m_owner)
        m_owner->Stop(Now());
    m_owner.reset();
    m_port.reset();
    ++m_line;
    m_timer.cancel();
    m_reopen.cancel();
}

}  // namespace ampd
