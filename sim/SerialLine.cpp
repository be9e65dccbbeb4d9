#include "sim/SerialLine.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "port/FdIo.h"
#include "port/Pty.h"
#include "port/RawLine.h"

namespace sim {

namespace {

std::string SystemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

}  // namespace

bool SerialLine::SuspendPanelOutput(bool suspended)
{
    return m_keeper >= 0 && tcflow(m_keeper, suspended ? TCOOFF : TCOON) == 0;
}

bool SerialLine::OpenPty(std::string& error)
{
    Close();
    port::PtyEnds pty;
    if (!port::OpenPty(pty, error))
        return false;
    m_fd = pty.master;
    m_keeper = pty.keeper;
    m_path = pty.path;
    return true;
}

bool SerialLine::OpenDevice(const std::string& device, std::string& error)
{
    Close();
    m_fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        error = SystemError("cannot open " + device);
        return false;
    }
    if (!isatty(m_fd)) {
        error = device + " is not a serial device";
        Close();
        return false;
    }
    // A read waits for a byte, as on the pseudo-terminal.
    if (!port::SetRawLine(m_fd, 1)) {
        error = SystemError("cannot set " + device + " to 9600 8N1");
        Close();
        return false;
    }
    tcflush(m_fd, TCIOFLUSH);
    m_path = device;
    return true;
}

void SerialLine::Close()
{
    port::CloseFd(m_fd);
    port::CloseFd(m_keeper);
    m_path.clear();
}

}  // namespace sim
