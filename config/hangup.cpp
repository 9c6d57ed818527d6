#include "hangup.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace dorvent::config {

namespace {

int g_pipe[2] = {-1, -1}; // [0] read on the event loop, [1] written by the handler

void onSignal(int)
{
    const char byte = 1;
    // A full pipe already holds a pending reload.
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[1], &byte, 1);
}

} // namespace

HangupWatcher::HangupWatcher(QObject *parent) : QObject(parent)
{
    Q_ASSERT(g_pipe[0] < 0);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, g_pipe) != 0)
        return;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &HangupWatcher::drain);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGHUP, &action, nullptr);
}

HangupWatcher::~HangupWatcher()
{
    if (g_pipe[0] < 0)
        return;
    ::signal(SIGHUP, SIG_DFL);
    delete m_notifier;
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

void HangupWatcher::drain()
{
    char bytes[64];
    while (::read(g_pipe[0], bytes, sizeof bytes) > 0) {
    }
    emit hangup();
}

} // namespace dorvent::config
