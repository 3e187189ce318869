// The console a person starts the panel from, for make check-windows: starts the program named
// in this console and ends with its status. Ctrl+C typed into the console reaches every
// program in it, the panel included; a line "c" or "b" typed into it sends Ctrl+C or
// Ctrl+Break to the whole console, as the system does for those keys. This console itself
// outlives both, so that it can tell the panel's status.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

BOOL WINAPI StayForTheStatus(DWORD event)
{
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
}

DWORD WINAPI PassKeys(void*)
{
    char line[64];
    while (std::fgets(line, sizeof line, stdin)) {
        const DWORD event = line[0] == 'c' ? CTRL_C_EVENT
            : line[0] == 'b'               ? CTRL_BREAK_EVENT
                                           : MAXDWORD;
        if (event == MAXDWORD)
            continue;
        if (::GenerateConsoleCtrlEvent(event, 0))
            std::printf("console_host: sent %s\n", event == CTRL_C_EVENT ? "Ctrl+C" : "Ctrl+Break");
        else
            std::printf("console_host: %s not sent: error %lu\n",
                event == CTRL_C_EVENT ? "Ctrl+C" : "Ctrl+Break", ::GetLastError());
        std::fflush(stdout);
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    if (argc != 2) {
        std::fwprintf(stderr, L"usage: console_host PROGRAM\n");
        return 2;
    }
    ::SetConsoleCtrlHandler(StayForTheStatus, TRUE);
    std::wstring command = L"\"" + std::wstring(argv[1]) + L"\"";
    STARTUPINFOW startup {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process {};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
            &startup, &process)) {
        std::printf("console_host: cannot start the program: error %lu\n", ::GetLastError());
        return 3;
    }
    std::printf("console_host: started process %lu\n", process.dwProcessId);
    std::fflush(stdout);
    ::CloseHandle(::CreateThread(nullptr, 0, PassKeys, nullptr, 0, nullptr));
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    ::GetExitCodeProcess(process.hProcess, &status);
    std::printf("console_host: the program ended with status %lu\n", status);
    std::fflush(stdout);
    // The reader may still wait for a line; the status is all that is left to give.
    ::ExitProcess(status);
}
