#include "port/Pty.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>

#include "port/FdIo.h"
#include "port/RawLine.h"

namespace port {

namespace {

// Closes what has been opened, the reason read before the close can change errno.
bool Fail(PtyEnds& pty, std::string& error, const std::string& what)
{
    error = what + ": " + std::strerror(errno);
    CloseFd(pty.keeper);
    CloseFd(pty.master);
    pty.path.clear();
    return false;
}

}  // namespace

bool OpenPty(PtyEnds& pty, std::string& error)
{
    pty = PtyEnds{};
    pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (pty.master < 0)
        return Fail(pty, error, "cannot create a pseudo-terminal");
    char name[128];
    if (grantpt(pty.master) != 0 || unlockpt(pty.master) != 0 || ptsname_r(pty.master, name, sizeof name) != 0)
        return Fail(pty, error, "cannot prepare the pseudo-terminal");
    pty.keeper = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (pty.keeper < 0 || !SetRawLine(pty.keeper, 1))
        return Fail(pty, error, std::string("cannot set up ") + name);
    pty.path = name;
    return true;
}

}  // namespace port
