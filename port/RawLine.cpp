#include "port/RawLine.h"

namespace port {

bool MakeRawLine(termios& t, cc_t minBytes)
{
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = minBytes;
    t.c_cc[VTIME] = 0;
    return cfsetispeed(&t, B9600) == 0 && cfsetospeed(&t, B9600) == 0;
}

bool SetRawLine(int fd, cc_t minBytes)
{
    termios t{};
    return tcgetattr(fd, &t) == 0 && MakeRawLine(t, minBytes) && tcsetattr(fd, TCSANOW, &t) == 0;
}

}  // namespace port
