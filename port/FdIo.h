// Descriptors on POSIX, the small things every program here does with them the same way.
#pragma once

#include <cstddef>
#include <string>

#include <sys/stat.h>

namespace port {

// Closes fd if it is open and marks it closed (-1).
void CloseFd(int& fd);

// Writes all n bytes, again after an interruption; false when the descriptor fails or takes
// nothing. A socket is written so that a peer gone shows as a failed write, not as SIGPIPE.
bool WriteAll(int fd, const void* bytes, std::size_t n);
inline bool WriteAll(int fd, const std::string& text)
{
    return WriteAll(fd, text.data(), text.size());
}

// At most max bytes of a file, read without following a link or waiting on a FIFO; false when it
// cannot be opened (errno says why) or is not a regular file (proc's files count as regular).
// info, when given, is what the file was when read.
bool ReadSmallFile(const std::string& path, std::size_t max, std::string& text, struct stat* info = nullptr);

}  // namespace port
