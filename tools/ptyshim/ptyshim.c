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

typedef int (*IoctlFn)(int fd, unsigned long request, ...);

/* Unix98 pseudo-terminal slaves: /dev/pts/N (majors 136 to 143). */
enum { kPtsMajorFirst = 136, kPtsMajorLast = 143 };

/* The lines the program drives; a real port starts with both on. One port per test process. */
static int drivenLines = TIOCM_DTR | TIOCM_RTS;

static IoctlFn RealIoctl(void)
{
    static IoctlFn real;
    if (!real)
        real = (IoctlFn)dlsym(RTLD_NEXT, "ioctl");
    return real;
}

static int IsPtySlave(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return 0;
    unsigned int majorNr = major(st.st_rdev);
    return majorNr >= kPtsMajorFirst && majorNr <= kPtsMajorLast;
}

static int AnswerModemRequest(unsigned long request, int* lines)
{
    const int driven = TIOCM_DTR | TIOCM_RTS;
    switch (request) {
    case TIOCMGET:
        *lines = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | __atomic_load_n(&drivenLines, __ATOMIC_RELAXED);
        return 0;
    case TIOCMSET:
        __atomic_store_n(&drivenLines, *lines & driven, __ATOMIC_RELAXED);
        return 0;
    case TIOCMBIS:
        __atomic_fetch_or(&drivenLines, *lines & driven, __ATOMIC_RELAXED);
        return 0;
    default: /* TIOCMBIC */
        __atomic_fetch_and(&drivenLines, ~(*lines & driven), __ATOMIC_RELAXED);
        return 0;
    }
}

static int IsModemRequest(unsigned long request)
{
    return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);

    if (IsModemRequest(request) && arg && IsPtySlave(fd))
        return AnswerModemRequest(request, (int*)arg);

    IoctlFn real = RealIoctl();
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    return real(fd, request, arg);
}
