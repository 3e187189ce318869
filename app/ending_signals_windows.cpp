#include "ending_signals.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>

#include <atomic>
#include <cstdio>

#include <windows.h>

namespace servo {
namespace {

    std::atomic<EndingSignals*> g_endings { nullptr };
    std::atomic<DWORD> g_pending { 0 }; // the console event + 1, until the event loop takes it
    HANDLE g_acted = nullptr; // set once the event loop has acted on it

    // For these the system ends the process as soon as the handler returns (at the latest after
    // five seconds), whatever the program is doing.
    bool EndsTheProcess(DWORD event)
    {
        return event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT
            || event == CTRL_SHUTDOWN_EVENT;
    }

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
        // The program tears down: it ends as it was ending, with the status it chose, which the
        // system's own end of the process would not keep.
        EndingSignals* endings = g_endings;
        if (!endings) {
            if (EndsTheProcess(event))
                ::Sleep(4500);
            return TRUE;
        }
        g_pending = event + 1;
        QMetaObject::invokeMethod(endings, &EndingSignals::deliverPending, Qt::QueuedConnection);
        // The event loop delivers what is queued and ends the process itself before this returns.
        if (EndsTheProcess(event))
            ::WaitForSingleObject(g_acted, 4500);
        return TRUE;
    }

} // namespace

// Windows asks every top-level window whether the session may end (WM_QUERYENDSESSION), then
// says it ends (WM_ENDSESSION); once that is answered the process may be ended at any moment, so
// a quit posted to the event loop may never run. The ending is acted on inside the message.
struct EndingSignals::Source : QAbstractNativeEventFilter {
    EndingSignals* owner = nullptr;

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override
    {
        if (type != "windows_generic_MSG")
            return false;
        const auto* msg = static_cast<const MSG*>(message);
        if (msg->message != WM_ENDSESSION || msg->wParam == FALSE)
            return false;
        const DWORD event
            = msg->lParam & ENDSESSION_LOGOFF ? CTRL_LOGOFF_EVENT : CTRL_SHUTDOWN_EVENT;
        emit owner->received(static_cast<int>(event));
        endIfEnded();
        // Not ended (nobody listens): Qt's own handling goes on.
        return false;
    }

    void endIfEnded()
    {
        const std::optional<int> status = owner->m_status ? owner->m_status() : std::nullopt;
        if (!status)
            return;
        // The port is closed and what was queued went out. The libraries' own teardown is no
        // place to be while the system waits to end the session; the system frees the rest.
        std::fflush(nullptr);
        ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(*status));
    }
};

EndingSignals::EndingSignals(QObject* parent)
    : QObject(parent)
    , m_source(std::make_unique<Source>())
{
    Q_ASSERT(!g_endings);
    m_source->owner = this;
    if (QCoreApplication::instance())
        QCoreApplication::instance()->installNativeEventFilter(m_source.get());
    g_acted = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // A GUI program has no console of its own; started from one, it joins it, so that Ctrl+C,
    // Ctrl+Break and closing it end the panel as the title bar does, and reports show there.
    // Wine gives a program started from a console that console: joining it is then refused as
    // done already ("Access is denied").
    if (::AttachConsole(ATTACH_PARENT_PROCESS) || ::GetLastError() == ERROR_ACCESS_DENIED) {
        if (_fileno(stderr) < 0 || ::GetStdHandle(STD_ERROR_HANDLE) == nullptr)
            std::freopen("CONOUT$", "w", stderr);
        ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    }
    g_endings = this;
}

// The console handler stays for the life of the process: the default one would end a
// teardown with Ctrl+C's own status.
EndingSignals::~EndingSignals()
{
    g_endings = nullptr;
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(m_source.get());
    if (g_acted) {
        ::SetEvent(g_acted);
        ::CloseHandle(g_acted);
    }
    g_acted = nullptr;
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
    const DWORD pending = g_pending.exchange(0);
    if (pending == 0)
        return;
    const DWORD event = pending - 1;
    emit received(static_cast<int>(event));
    if (EndsTheProcess(event))
        m_source->endIfEnded();
    ::SetEvent(g_acted);
}

} // namespace servo
