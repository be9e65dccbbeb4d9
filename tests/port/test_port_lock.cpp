// The lock file's name and text as other serial programs write and read them, and what a hostile
// or broken lock file is taken for.
#include <gtest/gtest.h>

#include <string>

#include "port/LockFile.h"

using namespace port;

namespace {

TEST(PortLock, NameIsTheDevicePathAfterDevWithSlashesMadeUnderscores)
{
    const struct {
        const char* device;
        const char* name;
    } cases[] = {
        {"/dev/ttyUSB0", "LCK..ttyUSB0"},
        {"/dev/ttyS1", "LCK..ttyS1"},
        {"/dev/pts/3", "LCK..pts_3"},
        {"/dev/serial/by-id/usb-FTDI", "LCK..serial_by-id_usb-FTDI"},
        {"/srv/line", "LCK..srv_line"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LockFileName(c.device), c.name) << c.device;
}

TEST(PortLock, TextIsTenCharactersOfDecimalAndANewline)
{
    EXPECT_EQ(LockFileText(4711), "      4711\n");
    EXPECT_EQ(ParseLockFile(LockFileText(2147483647)), 2147483647);
}

TEST(PortLock, OnlyAProcessNumberIsReadFromALockFile)
{
    const struct {
        std::string text;
        pid_t pid;
    } cases[] = {
        {"      4711\n", 4711},
        {"4711\n", 4711},
        {"4711", 4711},
        {"", 0},
        {"\n", 0},
        {"          \n", 0},
        {"0\n", 0},
        {"-4711\n", 0},
        {"+4711\n", 0},
        {"4711 \n", 0},
        {"4711\n\n", 0},
        {"47x1\n", 0},
        {"2147483648\n", 0},
        {"99999999999999999999\n", 0},
        {std::string("\x67\x12\x00\x00", 4), 0},  // the old binary form
        {"4711\nfoo", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseLockFile(c.text), c.pid) << '"' << c.text << '"';
}

}  // namespace
