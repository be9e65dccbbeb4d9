// What a process holds, counted from outside it: kernel handles, threads, GDI and USER objects,
// memory.
#include "tools/paneldriver/ProcessResources.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <vector>

namespace {

int CountThreads(DWORD pid)
{
    int threads = 0;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        threads += entry.th32OwnerProcessID == pid;
    CloseHandle(snapshot);
    return threads;
}

// The process's windows, top-level and child: under Wine, whose GetGuiResources is a stub, the
// USER objects a program of this kind makes.
struct WindowCount {
    DWORD pid;
    int windows;
};

BOOL CALLBACK CountChild(HWND, LPARAM param)
{
    ++reinterpret_cast<WindowCount*>(param)->windows;
    return TRUE;
}

BOOL CALLBACK CountTopLevel(HWND top, LPARAM param)
{
    auto* count = reinterpret_cast<WindowCount*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(top, &owner);
    if (owner == count->pid) {
        ++count->windows;
        EnumChildWindows(top, CountChild, param);
    }
    return TRUE;
}

int CountWindows(DWORD pid)
{
    WindowCount count = {pid, 0};
    EnumWindows(CountTopLevel, reinterpret_cast<LPARAM>(&count));
    return count.windows;
}

// The process's GDI objects, counted in the GDI handle table its PEB points to (the way GDI
// viewers count them; Wine keeps the same table): entries of any type that it owns.
int CountGdiObjects(HANDLE process, DWORD pid)
{
    using QueryProcess = LONG(WINAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<QueryProcess>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    PROCESS_BASIC_INFORMATION basic = {};
    if (!query || query(process, ProcessBasicInformation, &basic, sizeof basic, nullptr) != 0)
        return -1;
    const SIZE_T tableField = sizeof(void*) == 8 ? 0xF8 : 0x94;  // PEB.GdiSharedHandleTable
    ULONG_PTR table = 0;
    if (!ReadProcessMemory(process, static_cast<BYTE*>(static_cast<void*>(basic.PebBaseAddress)) + tableField, &table,
            sizeof table, nullptr)
        || !table)
        return -1;
    struct Entry {
        ULONG_PTR object;
        USHORT processId;
        USHORT count;
        USHORT unique;
        BYTE type;
        BYTE flags;
        ULONG_PTR user;
    };
    std::vector<Entry> entries(0x4000);
    if (!ReadProcessMemory(
            process, reinterpret_cast<void*>(table), entries.data(), entries.size() * sizeof(Entry), nullptr))
        return -1;
    // Windows shares one table among processes and marks each entry's owner; Wine gives each
    // process a table of its own and leaves the owner unset.
    int owned = 0;
    int all = 0;
    for (const Entry& e : entries) {
        all += e.type != 0;
        owned += e.type != 0 && e.processId == static_cast<USHORT>(pid);
    }
    return owned ? owned : all;
}

// The process's kernel handles, from the system's handle list (which Wine keeps too; its
// per-process handle count is not implemented).
int CountHandles(DWORD pid)
{
    using QuerySystem = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<QuerySystem>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    struct Entry {
        USHORT processId;
        USHORT creatorBackTrace;
        BYTE type;
        BYTE attributes;
        USHORT value;
        void* object;
        ULONG access;
    };
    constexpr ULONG kSystemHandleInformation = 16;
    constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    std::vector<BYTE> buffer(1 << 16);
    LONG status = kInfoLengthMismatch;
    while (query
        && (status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), nullptr))
            == kInfoLengthMismatch)
        buffer.resize(buffer.size() * 2);
    if (status != 0)
        return -1;
    const ULONG count = *reinterpret_cast<const ULONG*>(buffer.data());
    const auto* entries = reinterpret_cast<const Entry*>(buffer.data() + sizeof(void*));
    int handles = 0;
    for (ULONG i = 0; i < count; ++i)
        handles += entries[i].processId == static_cast<USHORT>(pid);
    return handles;
}

}  // namespace

std::string ProcessResources(DWORD pid)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!process)
        return "err cannot open the panel's process";
    DWORD handles = 0;
    if (!GetProcessHandleCount(process, &handles) || handles == 0)
        handles = static_cast<DWORD>(CountHandles(pid));
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory);
    DWORD gdi = GetGuiResources(process, GR_GDIOBJECTS);
    DWORD user = GetGuiResources(process, GR_USEROBJECTS);
    if (gdi == 0)  // the call is not implemented (Wine)
        gdi = static_cast<DWORD>(CountGdiObjects(process, pid));
    if (user == 0)
        user = static_cast<DWORD>(CountWindows(pid));
    CloseHandle(process);
    return "ok handles=" + std::to_string(handles) + " threads=" + std::to_string(CountThreads(pid))
        + " gdi=" + std::to_string(static_cast<int>(gdi)) + " user=" + std::to_string(user)
        + " private_kb=" + std::to_string(memory.PagefileUsage / 1024)
        + " working_set_kb=" + std::to_string(memory.WorkingSetSize / 1024);
}
