#include "port/FdIo.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace port {

void CloseFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool WriteAll(int fd, const void* bytes, std::size_t n)
{
    const char* at = static_cast<const char*>(bytes);
    bool socket = true;  // until send says otherwise
    while (n > 0) {
        ssize_t written = socket ? ::send(fd, at, n, MSG_NOSIGNAL) : ::write(fd, at, n);
        if (socket && written < 0 && errno == ENOTSOCK) {
            socket = false;
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;  // what was begun is finished
        if (written <= 0)
            return false;
        at += written;
        n -= static_cast<std::size_t>(written);
    }
    return true;
}

bool ReadSmallFile(const std::string& path, std::size_t max, std::string& text, struct stat* info)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return false;
    }
    text.assign(max, '\0');
    std::size_t got = 0;
    while (got < max) {
        const ssize_t n = ::read(fd, &text[got], max - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    ::close(fd);
    if (info)
        *info = st;
    return true;
}

}  // namespace port
