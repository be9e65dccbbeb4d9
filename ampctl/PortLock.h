// Holding a serial device on Linux the ways other serial programs look for each other: the UUCP
// lock file in the lock folder, and the other processes that have the device open (for the
// programs that take no lock at all: Wine, screen, a plain script). flock and TIOCEXCL are taken on
// the open device by the serial back end.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace ampctl {

// A process that holds a device.
struct Holder {
    pid_t pid = 0;
    std::string command;  // its command line, argv joined by spaces; empty when it cannot be read
};

// "4711 (wine AmpPanel.exe)", or "4711" when the command is not known; several joined by ", ".
std::string DescribeHolders(const std::vector<Holder>& holders);

// The process's command line as DescribeHolders shows it: printable ASCII only, shortened when long.
std::string CommandOf(pid_t pid);

// The processes other than this one that have the device (its real path) open. For a
// pseudo-terminal, a process that holds its master side is the line itself (the simulator), not a
// user of it. Wine's server holds a device for the Wine program that opened it: when that program
// is seen too, the server is left out.
std::vector<Holder> OtherHolders(const std::string& realPath);

// The lock file's name for a device by its real path: the part after /dev/ with each '/' made '_'
// (LCK..ttyUSB0, LCK..pts_3), as a '/' cannot stand in a file name.
std::string LockFileName(const std::string& realPath);

// A lock file's text: the process number as ten characters of ASCII decimal and a newline.
std::string LockFileText(pid_t pid);
// The process number such a text holds (leading spaces, digits, an optional newline), 0 when it
// holds none.
pid_t ParseLockFile(const std::string& text);

// The lock folder: AMP_LOCK_DIR when set (for tests), otherwise /var/lock.
std::string LockFolder();

enum class LockOutcome {
    kTaken,     // the lock file is ours until Release
    kHeld,      // a live process holds it: holder
    kNoFolder,  // the folder is missing or not writable: no lock file (reason says which)
    kFailed,    // reason says why
};

struct LockResult {
    LockOutcome outcome = LockOutcome::kFailed;
    pid_t holder = 0;
    std::string reason;
};

// The UUCP lock file of one device, made with link() from a private file so that nobody ever sees
// it half written, and removed on release only while it is still the one we made.
class LockFile {
public:
    LockFile() = default;
    ~LockFile() { Release(); }
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;

    LockResult Take(const std::string& folder, const std::string& realPath);
    void Release();

private:
    std::string m_path;  // set while the lock file is ours
    dev_t m_device = 0;
    ino_t m_inode = 0;
};

}  // namespace ampctl
