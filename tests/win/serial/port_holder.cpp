// Another program that wants the port: exits 0 when it could open COM<n> for itself, 2 when
// the port is in use, 1 on any other failure.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 2)
        return 1;
    char name[24];
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", std::atoi(argv[1]));
    const HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION || GetLastError() == ERROR_ACCESS_DENIED ? 2 : 1;
    CloseHandle(port);
    return 0;
}
