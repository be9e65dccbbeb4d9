/* Preloaded into the Wine processes of the tests: answers the modem-line requests on
 * pseudo-terminals as a cable with CTS, DSR and CD up would.
 *
 * A pseudo-terminal has no modem lines, so the kernel refuses TIOCMGET on it. Wine's wait for
 * line events asks for the modem lines on every poll and, refused, completes the wait at once as
 * cancelled: the wait never blocks as it does on a real port. With this answer it blocks until a
 * byte arrives. Every other request, and every other device, goes to the real ioctl. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

typedef int (*ioctl_fn)(int fd, unsigned long request, ...);

/* Unix98 pseudo-terminal slaves: /dev/pts/N (majors 136 to 143). */
enum { PTS_MAJOR_FIRST = 136, PTS_MAJOR_LAST = 143 };

/* The lines the program drives; a real port starts with both on. One port per test process. */
static int driven_lines = TIOCM_DTR | TIOCM_RTS;

static ioctl_fn real_ioctl(void)
{
    static ioctl_fn real;
    if (!real)
        real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    return real;
}

static int is_pty_slave(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return 0;
    unsigned int major_nr = major(st.st_rdev);
    return major_nr >= PTS_MAJOR_FIRST && major_nr <= PTS_MAJOR_LAST;
}

static int answer_modem_request(unsigned long request, int* lines)
{
    const int driven = TIOCM_DTR | TIOCM_RTS;
    switch (request) {
    case TIOCMGET:
        *lines = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | __atomic_load_n(&driven_lines, __ATOMIC_RELAXED);
        return 0;
    case TIOCMSET:
        __atomic_store_n(&driven_lines, *lines & driven, __ATOMIC_RELAXED);
        return 0;
    case TIOCMBIS:
        __atomic_fetch_or(&driven_lines, *lines & driven, __ATOMIC_RELAXED);
        return 0;
    default: /* TIOCMBIC */
        __atomic_fetch_and(&driven_lines, ~(*lines & driven), __ATOMIC_RELAXED);
        return 0;
    }
}

static int is_modem_request(unsigned long request)
{
    return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);

    if (is_modem_request(request) && arg && is_pty_slave(fd))
        return answer_modem_request(request, (int*)arg);

    ioctl_fn real = real_ioctl();
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    return real(fd, request, arg);
}
