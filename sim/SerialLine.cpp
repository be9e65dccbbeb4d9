#include "sim/SerialLine.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

std::string SystemError(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

// Raw 8N1 at 9600 baud, receiver on, modem lines ignored, no flow control of any kind.
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

bool SerialLine::SuspendPanelOutput(bool suspended)
{
    return m_keeper >= 0 && tcflow(m_keeper, suspended ? TCOOFF : TCOON) == 0;
}

bool SerialLine::OpenPty(std::string& error)
{
    Close();
    m_fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        error = SystemError("cannot create a pseudo-terminal");
        return false;
    }
    char name[128];
    if (grantpt(m_fd) != 0 || unlockpt(m_fd) != 0 || ptsname_r(m_fd, name, sizeof name) != 0) {
        error = SystemError("cannot prepare the pseudo-terminal");
        Close();
        return false;
    }
    m_keeper = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_keeper < 0 || !MakeRaw(m_keeper)) {
        error = SystemError(std::string("cannot set up ") + name);
        Close();
        return false;
    }
    m_path = name;
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
    if (!MakeRaw(m_fd)) {
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
    CloseFd(m_fd);
    CloseFd(m_keeper);
    m_path.clear();
}

bool DeviceLink::Create(const std::string& linkPath, const std::string& linkTarget, std::string& error)
{
    Remove();
    struct stat st {};
    if (lstat(linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        error = linkPath + " exists and is not a symbolic link";
        return false;
    }
    // Made under a temporary name and renamed over the old link, so the name never dangles.
    const std::string temporary = linkPath + ".ampsim-" + std::to_string(getpid());
    ::unlink(temporary.c_str());
    if (::symlink(linkTarget.c_str(), temporary.c_str()) != 0) {
        error = SystemError("cannot create the link " + linkPath);
        return false;
    }
    if (::rename(temporary.c_str(), linkPath.c_str()) != 0) {
        error = SystemError("cannot create the link " + linkPath);
        ::unlink(temporary.c_str());
        return false;
    }
    m_link = linkPath;
    m_target = linkTarget;
    return true;
}

void DeviceLink::Remove()
{
    if (m_link.empty())
        return;
    // Someone may have pointed the name elsewhere since; that link is theirs.
    char now[4096];
    const ssize_t n = ::readlink(m_link.c_str(), now, sizeof now - 1);
    if (n >= 0 && std::string(now, static_cast<std::size_t>(n)) == m_target)
        ::unlink(m_link.c_str());
    m_link.clear();
    m_target.clear();
}

}  // namespace sim
