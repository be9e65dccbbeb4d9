/* Preloaded into ampctl by its tests: a stop signal comes while ampctl puts the line settings back
 * (tcsetattr with TCSADRAIN), as a second Ctrl+C does while a real port drains the frame last
 * written. A pseudo-terminal's drain never waits, so the signal is sent from inside the call: held
 * back, it stays pending; otherwise its handler runs and the call fails with EINTR, as the kernel's
 * would. Says on standard error which of the two it met. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <termios.h>

typedef int (*SetAttr)(int, int, const struct termios*);

int tcsetattr(int fd, int actions, const struct termios* settings)
{
    static int sent;
    const SetAttr real = (SetAttr)dlsym(RTLD_NEXT, "tcsetattr");
    if (actions == TCSADRAIN && !sent) {
        sigset_t blocked;
        sent = 1;
        sigprocmask(SIG_BLOCK, NULL, &blocked);
        const int held = sigismember(&blocked, SIGTERM);
        fprintf(stderr, "drain-signal: SIGTERM during the drain, %s\n", held ? "held back" : "not held back");
        raise(SIGTERM);
        if (!held) {
            errno = EINTR;
            return -1;
        }
    }
    return real(fd, actions, settings);
}
