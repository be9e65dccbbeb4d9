// The UUCP lock file of a serial device in the lock folder, the lock other serial programs take
// and look for. flock and TIOCEXCL are taken on the open device by the serial back end; the
// programs that take no lock at all are found apart (Holders.h). Linux only.
#pragma once

#include <string>

#include <sys/types.h>

namespace port {

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

}  // namespace port
