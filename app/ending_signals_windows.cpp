#include "ending_signals.h"

#include <atomic>
#include <cstdio>

#include <windows.h>

namespace servo {
namespace {

    EndingSignals* g_endings = nullptr;
    std::atomic<DWORD> g_pending { 0 }; // the console event + 1, until the event loop takes it
    HANDLE g_acted = nullptr; // set once the event loop has acted on it

    // Runs on a thread the system starts for it.
    BOOL WINAPI OnConsoleEvent(DWORD event)
    {
        switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            break;
        default:
            return FALSE;
        }
        g_pending = event + 1;
        QMetaObject::invokeMethod(g_endings, &EndingSignals::deliverPending, Qt::QueuedConnection);
        // For these the system ends the process as soon as the handler returns (at the latest
        // after five seconds): first let the event loop deliver what is queued.
        if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
            ::WaitForSingleObject(g_acted, 4500);
        return TRUE;
    }

} // namespace

struct EndingSignals::Source { };

EndingSignals::EndingSignals(QObject* parent)
    : QObject(parent)
{
    Q_ASSERT(!g_endings);
    g_endings = this;
    g_acted = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // A GUI program has no console of its own; started from one, it joins it, so that Ctrl+C,
    // Ctrl+Break and closing it end the panel as the title bar does, and reports show there.
    if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
        if (_fileno(stderr) < 0 || ::GetStdHandle(STD_ERROR_HANDLE) == nullptr)
            std::freopen("CONOUT$", "w", stderr);
        ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    }
}

EndingSignals::~EndingSignals()
{
    ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    if (g_acted) {
        ::SetEvent(g_acted);
        ::CloseHandle(g_acted);
    }
    g_acted = nullptr;
    g_endings = nullptr;
}

// The console's handler runs on a thread of its own and only leaves a note for deliverPending.
void EndingSignals::holdUntilListening()
{
}

void EndingSignals::listen()
{
}

void EndingSignals::deliverPending()
{
    const DWORD event = g_pending.exchange(0);
    if (event == 0)
        return;
    emit received(static_cast<int>(event - 1));
    ::SetEvent(g_acted);
}

} // namespace servo
