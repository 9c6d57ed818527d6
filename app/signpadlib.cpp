#include "echoserver.h"

#include <QApplication>
#include <QDebug>

#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#ifdef DORVENT_EMULATED_READER
#include "controlchannel.h"
#include "demodeck.h"
#include "emulatedreader.h"
#endif

constexpr quint16 kPort = 17798;

#ifdef DORVENT_EMULATED_READER
constexpr std::size_t kEmulatorLogLimit = 4096;
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
#endif

    // Lives as long as the process; never deleted.
    EchoServer *server = new EchoServer(kPort, false);
    QObject::connect(server, &EchoServer::closed, &a, &QApplication::quit);
    // Where pages reach us. Without the port the process still runs and
    // serves nothing, but says why, and never reports itself ready: systemd
    // keeps the unit starting until its start times out, and then restarts it.
    if (server->serverPort() == 0) {
        qCritical("cannot listen on port %u: %s", unsigned(kPort), qPrintable(server->listenError()));
    } else {
        qInfo("%s: listening on ws://localhost:%u (every address, IPv4 and IPv6)",
              qPrintable(QCoreApplication::applicationName()), unsigned(server->serverPort()));
        notifyReady();
    }

    return a.exec();
}
