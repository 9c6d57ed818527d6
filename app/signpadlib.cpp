#include "echoserver.h"
#include "hangup.h"
#include "settings.h"

#include <QApplication>
#include <QDebug>
#include <QFileInfo>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#ifdef DORVENT_EMULATED_READER
#include "controlchannel.h"
#include "demodeck.h"
#include "emulatedreader.h"
#include "tracereplay.h"
#include "traceformat.h"
#endif

constexpr quint16 kPort = 17798;

#ifdef DORVENT_EMULATED_READER
constexpr std::size_t kEmulatorLogLimit = 4096;
constexpr int kExitBadTrace = 2;

// --replay TRACE (or --replay=TRACE): the trace's path, empty without one;
// *missing when the option has no file.
static QString replayPath(const QStringList &arguments, bool *missing)
{
    const QString option = QStringLiteral("--replay");
    *missing = false;
    QString path;
    for (int i = 1; i < arguments.size(); ++i) {
        if (arguments.at(i) == option) {
            *missing = i + 1 >= arguments.size();
            if (!*missing)
                path = arguments.at(++i);
        } else if (arguments.at(i).startsWith(option + QLatin1Char('='))) {
            path = arguments.at(i).mid(option.size() + 1);
        }
    }
    return path;
}
#endif

// Tells systemd (Type=notify) that the port is open, so that "active" means
// listening. Outside systemd NOTIFY_SOCKET is unset and nothing happens.
static void notifyReady()
{
    const QByteArray path = qgetenv("NOTIFY_SOCKET");
    sockaddr_un address{};
    if (path.isEmpty() || (path[0] != '/' && path[0] != '@') || std::size_t(path.size()) >= sizeof address.sun_path)
        return;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
    if (address.sun_path[0] == '@')
        address.sun_path[0] = '\0'; // an abstract socket
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    static const char kReady[] = "READY=1";
    ::sendto(fd, kReady, sizeof kReady - 1, MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&address),
             socklen_t(offsetof(sockaddr_un, sun_path) + std::size_t(path.size())));
    ::close(fd);
}

int main(int argc, char *argv[])
{
    // The service's fixed start-up banner: existing log readers and tests
    // look for these five lines, byte for byte and in this order.
    qWarning("hello World");
    qDebug("This is a debug message");
    qWarning("This is a warning message");
    qCritical("This is a critical message");
    qDebug() << QStringLiteral("****"); // a QString, so the logger quotes it

    // Created before anything renders images and before the server listens.
    QApplication a(argc, argv);

#ifdef DORVENT_EMULATED_READER
    // The emulated reader starts plugged in, holding the demo cards.
    dorvent::emulator::installDemoDeck();
    // Runs for hours under churn: keep only recent transfers.
    dorvent::emulator::EmulatedReader::instance().setLogLimit(kEmulatorLogLimit);
    dorvent::emulator::startControlChannel(); // loopback port 17799

    // A recorded session answers in place of the firmware.
    bool replayMissing = false;
    const QString replayFile = replayPath(a.arguments(), &replayMissing);
    std::unique_ptr<dorvent::emulator::TraceReplay> replay;
    if (replayMissing) {
        qCritical("not started: --replay needs a trace file");
        return kExitBadTrace;
    }
    if (!replayFile.isEmpty()) {
        const dorvent::trace::Parsed trace = dorvent::trace::readTraceFile(replayFile);
        if (!trace.ok) {
            std::fprintf(stderr, "replay: %s\n", qUtf8Printable(trace.error));
            return kExitBadTrace;
        }
        replay = std::make_unique<dorvent::emulator::TraceReplay>(trace.events);
        replay->install();
        std::fprintf(stderr, "replay: %s: %s\n", qUtf8Printable(replayFile), qUtf8Printable(replay->summary()));
    }
#endif

    // The administrator's settings; without a file, the service as it always was.
    using namespace dorvent::config;
    const ConfigFile configFile = configFileFrom(a.arguments());
    // --trace overrides the file, also across reloads.
    const TraceOption trace = traceOptionFrom(a.arguments());
    Parsed config = !configFile.error.isEmpty() ? Parsed{false, Settings(), configFile.error}
                    : !trace.error.isEmpty()    ? Parsed{false, Settings(), trace.error}
                                                : loadSettings(configFile.path, configFile.named);
    config.settings = trace.appliedTo(config.settings);
    if (!config.ok) {
        qCritical("not started: %s", qUtf8Printable(config.error));
        return kExitBadConfig;
    }
    if (config.settings.log != LogLevel::Off)
        qInfo(QFileInfo::exists(configFile.path) ? "configuration %s" : "configuration: built-in (no %s)",
              qUtf8Printable(configFile.path));

    // Lives as long as the process; never deleted.
    EchoServer *server = new EchoServer(kPort, config.settings);
    QObject::connect(server, &EchoServer::closed, &a, &QApplication::quit);
#ifdef DORVENT_EMULATED_READER
    if (replay)
        replay->attach(*server->processor());
#endif
    // The server says where pages reach us and with which settings. Without
    // the port the process still runs and serves nothing, but says why, and
    // never reports itself ready: systemd keeps the unit starting until its
    // start times out, and then restarts it.
    if (server->serverPort() == 0)
        qCritical("cannot listen on port %u: %s", unsigned(kPort), qPrintable(server->listenError()));
    else
        notifyReady();

    // SIGHUP reads the file again; a file that cannot be used changes nothing.
    HangupWatcher hangup;
    QObject::connect(&hangup, &HangupWatcher::hangup, server, [server, configFile, trace] {
        Parsed reread = loadSettings(configFile.path, configFile.named);
        if (!reread.ok) {
            qWarning("configuration not reloaded, settings unchanged: %s", qUtf8Printable(reread.error));
            return;
        }
        reread.settings = trace.appliedTo(reread.settings);
        if (reread.settings.log != LogLevel::Off || server->settings().log != LogLevel::Off)
            qInfo("configuration reloaded: %s", qUtf8Printable(reread.settings.describe()));
        server->applySettings(reread.settings);
    });

    return a.exec();
}
