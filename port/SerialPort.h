// The amplifier's serial port, held exclusively at 9600 8N1, raw, with no flow control of either
// kind, and used synchronously. One implementation per platform: termios on Linux, the Win32
// communications API on Windows.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "engine/Line.h"

namespace port {

class SerialPort : public engine::ByteStream {
public:
    // The port by its name (a device path on Linux, COMn on Windows); null, with the reason in
    // error, when it is missing, busy or no serial port. note: a line for the user when the port
    // is held with less than usual (Linux: no lock file could be made), else left empty.
    static std::unique_ptr<SerialPort> Open(const std::string& name, std::string& error, std::string& note);
    // Puts back the line settings it changed and releases the port.
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

#ifndef _WIN32
    // The descriptor, made ready for an event loop that waits on it: non-blocking, and a read with
    // nothing there fails with EAGAIN instead of reading nothing (VMIN 1). It stays this object's.
    int EventDescriptor();
#endif

    bool Write(const std::uint8_t* bytes, std::size_t n) override;
    int Read(std::uint8_t* into, std::size_t max, int timeoutMs) override;

    struct Os;

private:
    explicit SerialPort(std::unique_ptr<Os> os);
    std::unique_ptr<Os> m_os;
};

// The serial ports present, by the names Open takes.
std::vector<std::string> ListSerialPorts();

// Ctrl+C (and on Linux SIGTERM and SIGHUP) set the flag instead of ending the process, so every
// way out closes the port; a closed standard output shows in the writes to it, not as a signal.
// Here beside the port because closing it holds back exactly these signals (Linux) until the line
// settings are back.
void CatchStopRequests(std::atomic<bool>& stop);

}  // namespace port
