#include "ampd/PanelPty.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ampd {

namespace {

// Raw 8N1 at 9600 baud, as the amplifier's line: no echo of the panel's frames back to it.
bool MakeRaw(int fd)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS | CSIZE);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, B9600) != 0 || cfsetospeed(&t, B9600) != 0)
        return false;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

void CloseFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

}  // namespace

PanelPty::PanelPty(
    boost::asio::io_context& io, std::string linkPath, std::function<void(const std::string&)> say, OnBytes onBytes)
    : m_io(io), m_linkPath(std::move(linkPath)), m_say(std::move(say)), m_onBytes(std::move(onBytes))
{
}

PanelPty::~PanelPty()
{
    HangUp();
}

bool PanelPty::Open()
{
    HangUp();
    std::string error;
    char name[128];
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    } else {
        m_keeper = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_keeper < 0 || !MakeRaw(m_keeper))
            error = std::string("cannot set up ") + name + ": " + std::strerror(errno);
    }
    struct stat st {};
    if (error.empty() && lstat(m_linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
        error = m_linkPath + " exists and is not a symbolic link";
    if (error.empty()) {
        // Made under a temporary name and renamed over, so the name never points at a closed pty.
        const std::string temporary = m_linkPath + ".ampd-" + std::to_string(getpid());
        ::unlink(temporary.c_str());
        if (::symlink(name, temporary.c_str()) != 0 || ::rename(temporary.c_str(), m_linkPath.c_str()) != 0) {
            error = "cannot link " + m_linkPath + ": " + std::strerror(errno);
            ::unlink(temporary.c_str());
        }
    }
    if (!error.empty()) {
        if (error != m_lastError)
            m_say("panel link: " + error);
        m_lastError = error;
        CloseFd(m_keeper);
        CloseFd(master);
        return false;
    }
    m_lastError.clear();
    m_target = name;
    m_master = std::make_unique<boost::asio::posix::stream_descriptor>(m_io, master);
    ++m_line;
    m_say("panel link " + m_linkPath + " -> " + m_target);
    Read();
    return true;
}

void PanelPty::Read()
{
    const unsigned line = m_line;
    m_master->async_read_some(boost::asio::buffer(m_in), [this, line](const boost::system::error_code& ec, std::size_t n) {
        // A read of a line hung up since belongs to the line that was.
        if (ec || line != m_line)
            return;
        m_onBytes(m_in, n);
        if (line == m_line)
            Read();
    });
}

void PanelPty::HangUp()
{
    if (!m_master)
        return;
    // Someone may have pointed the name elsewhere since; that link is theirs.
    char now[4096];
    const ssize_t n = ::readlink(m_linkPath.c_str(), now, sizeof now - 1);
    if (n >= 0 && std::string(now, static_cast<std::size_t>(n)) == m_target)
        ::unlink(m_linkPath.c_str());
    CloseFd(m_keeper);
    boost::system::error_code ec;
    m_master->close(ec);
    m_master.reset();
    ++m_line;
    m_say("panel link " + m_linkPath + " hung up");
}

void PanelPty::Write(const std::uint8_t* bytes, std::size_t n)
{
    if (!m_master)
        return;
    // Nobody reading and the buffer full: the rest is lost, as on a real line.
    const int fd = m_master->native_handle();
    while (n > 0) {
        const ssize_t w = ::write(fd, bytes, n);
        if (w <= 0)
            return;
        bytes += w;
        n -= static_cast<std::size_t>(w);
    }
}

}  // namespace ampd
