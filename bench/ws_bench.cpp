// WebSocket service benchmark.
//
// The service (EchoServer with the emulated reader at zero latency) and a bare
// Qt WebSocket echo server run on one thread of this process; the clients on
// another. Prints:
//  - "beep" round trips through the service against the same-sized text
//    through the bare echo, sequential, one client each, taken in turn
//    (median, p99, ratio);
//  - throughput with 8 clients each keeping one "beep" in flight, against the
//    bare echo with 8 clients doing the same;
//  - churn: 8 clients at a time connecting, sending a "beep", closing, while
//    memory (RSS) and open file descriptors of the process are printed at
//    start, middle and end.
//
// The service's log (standard error) goes to a temporary file.
//
//   ws_bench [--short]      (--short: fewer round trips and a 3 s churn instead of 60 s)

#include "demodeck.h"
#include "echoserver.h"
#include "emulatedreader.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSemaphore>
#include <QThread>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

constexpr char kBeep[] = R"({"_act":"beep"})";
constexpr char kOpen[] = R"({"_act":"open"})";
constexpr int kClients = 8;

// The service and the bare echo, living on their own thread.
class ServerThread : public QThread
{
public:
    quint16 servicePort = 0;
    quint16 echoPort = 0;
    QSemaphore ready;

protected:
    void run() override
    {
        dorvent::emulator::installDemoDeck();
        // As in dorvent-emu: an unbounded log would be copied as it grows.
        dorvent::emulator::EmulatedReader::instance().setLogLimit(4096);
        EchoServer service(0, false);
        QWebSocketServer echo(QStringLiteral("bare"), QWebSocketServer::NonSecureMode);
        echo.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&echo, &QWebSocketServer::newConnection, [&echo] {
            QWebSocket *socket = echo.nextPendingConnection();
            QObject::connect(socket, &QWebSocket::textMessageReceived, socket,
                             [socket](const QString &text) { socket->sendTextMessage(text); });
            QObject::connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
        });
        servicePort = service.serverPort();
        echoPort = echo.serverPort();
        ready.release();
        exec();
    }
};

// Runs the event loop until done() or the time-out; false on time-out.
template <typename F>
bool waitFor(F done, int timeoutMs = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

struct Client
{
    QWebSocket socket;
    int received = 0;
    QString last;

    explicit Client(quint16 port)
    {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, [this](const QString &text) {
            ++received;
            last = text;
        });
        socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port)));
    }
    bool connected() { return waitFor([this] { return socket.state() == QAbstractSocket::ConnectedState; }); }
    bool roundTrip(const QString &text)
    {
        const int before = received;
        socket.sendTextMessage(text);
        return waitFor([&] { return received > before; });
    }
};

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const std::size_t index = std::min(values.size() - 1, std::size_t(p * double(values.size())));
    return values[index];
}

// Microseconds per round trip on two connections, taken in turn (which one
// goes first alternates): a run of round trips on one connection alone lands
// in one of a few latency levels (here about 15, 36 and 55 us, as the two
// threads share a CPU or not), so that two runs one after the other compare
// the levels they happened to get rather than the two servers.
struct Pair
{
    std::vector<double> first, second;
};

Pair roundTrips(quint16 firstPort, const QString &firstText, quint16 secondPort, const QString &secondText,
                int count)
{
    Client first(firstPort), second(secondPort);
    Pair times;
    if (!first.connected() || !second.connected() || !first.roundTrip(QString::fromLatin1(kOpen))
        || !second.roundTrip(QString::fromLatin1(kOpen)))
        return times;
    for (int i = 0; i < count / 10; ++i) { // warm up
        first.roundTrip(firstText);
        second.roundTrip(secondText);
    }
    QElapsedTimer timer;
    const auto timed = [&timer](Client &client, const QString &text, std::vector<double> &into) {
        timer.start();
        if (!client.roundTrip(text))
            return false;
        into.push_back(timer.nsecsElapsed() / 1000.0);
        return true;
    };
    for (int i = 0; i < count; ++i) {
        const bool ok = i % 2 ? timed(second, secondText, times.second) && timed(first, firstText, times.first)
                              : timed(first, firstText, times.first) && timed(second, secondText, times.second);
        if (!ok)
            break;
    }
    return times;
}

double throughput(quint16 port, const QString &text, int seconds)
{
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<Client>(port));
        if (!clients.back()->connected())
            return 0;
    }
    for (auto &c : clients) {
        if (!c->roundTrip(QString::fromLatin1(kOpen)))
            return 0;
        c->received = 0;
    }
    for (auto &c : clients) {
        QObject::connect(&c->socket, &QWebSocket::textMessageReceived, &c->socket,
                         [&c, text](const QString &) { c->socket.sendTextMessage(text); });
        c->socket.sendTextMessage(text);
    }
    QElapsedTimer timer;
    timer.start();
    waitFor([] { return false; }, seconds * 1000);
    const double elapsed = timer.nsecsElapsed() / 1e9;
    int total = 0;
    for (auto &c : clients) {
        total += c->received;
        c->socket.disconnect(); // stop the chain before closing
        c->socket.close();
    }
    return total / elapsed;
}

struct Usage
{
    long rssKb = 0;
    int fds = 0;
};

Usage usage()
{
    Usage u;
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                u.rssKb = line.mid(6).trimmed().split(' ').value(0).toLong();
        }
    }
    u.fds = int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::System).size());
    return u;
}

void printUsage(const char *when, double second, int connections)
{
    const Usage u = usage();
    std::printf("  %-6s %5.1f s: RSS %6.1f MB, open fds %4d, connections so far %d\n", when, second,
                u.rssKb / 1024.0, u.fds, connections);
    std::fflush(stdout);
}

// Waves of 8 clients: connect, one beep, close; until the time is up.
void churn(quint16 port, int seconds)
{
    const QString beep = QString::fromLatin1(kBeep);
    QElapsedTimer timer;
    timer.start();
    int connections = 0;
    bool middlePrinted = false;
    printUsage("start", 0, 0);
    while (timer.elapsed() < seconds * 1000LL) {
        std::vector<std::unique_ptr<Client>> wave;
        for (int i = 0; i < kClients; ++i)
            wave.push_back(std::make_unique<Client>(port));
        for (auto &c : wave) {
            if (c->connected() && c->roundTrip(beep))
                ++connections;
        }
        for (auto &c : wave)
            c->socket.close();
        waitFor([&] {
            return std::all_of(wave.begin(), wave.end(), [](const std::unique_ptr<Client> &c) {
                return c->socket.state() == QAbstractSocket::UnconnectedState;
            });
        });
        if (!middlePrinted && timer.elapsed() >= seconds * 500LL) {
            middlePrinted = true;
            printUsage("middle", timer.elapsed() / 1000.0, connections);
        }
    }
    waitFor([] { return false; }, 500); // the server side finishes closing
    printUsage("end", timer.elapsed() / 1000.0, connections);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const bool quick = app.arguments().contains(QStringLiteral("--short"));
    const int rounds = quick ? 500 : 5000;
    const int throughputSeconds = quick ? 1 : 5;
    const int churnSeconds = quick ? 3 : 60;

    // The service logs a line per connection and per request to standard
    // error, as it does by default: into a file here, as the journal would
    // take them, so that the figures include that cost and the terminal
    // stays readable.
    std::FILE *serviceLog = std::tmpfile();
    if (serviceLog)
        ::dup2(fileno(serviceLog), STDERR_FILENO);

    ServerThread servers;
    servers.start();
    servers.ready.acquire();

    std::printf("ws_bench%s: service and bare echo on one thread, clients on another\n",
                quick ? " (short run)" : "");
    const QString beep = QString::fromLatin1(kBeep);
    // The beep reply is about 60 bytes; the echo gets a text of that size.
    const QString sameSize = QStringLiteral(R"({"_act":"beep","pad":"%1"})").arg(QString(28, 'x'));
    const Pair pair = roundTrips(servers.servicePort, beep, servers.echoPort, sameSize, rounds);
    const std::vector<double> &service = pair.first, &bare = pair.second;
    if (service.size() != std::size_t(rounds) || bare.size() != std::size_t(rounds)) {
        std::printf("round trips failed\n");
        return 1;
    }
    const double serviceMedian = percentile(service, 0.5), bareMedian = percentile(bare, 0.5);
    std::printf("beep round trip, %d sequential, service and bare echo in turn:\n", rounds);
    std::printf("  service   median %7.1f us  p99 %7.1f us\n", serviceMedian, percentile(service, 0.99));
    std::printf("  bare echo median %7.1f us  p99 %7.1f us\n", bareMedian, percentile(bare, 0.99));
    std::printf("  ratio (median) %.2f, (p99) %.2f\n", serviceMedian / bareMedian,
                percentile(service, 0.99) / percentile(bare, 0.99));
    const double serviceRate = throughput(servers.servicePort, beep, throughputSeconds);
    const double bareRate = throughput(servers.echoPort, sameSize, throughputSeconds);
    std::printf("throughput, %d clients each with one message in flight, %d s:\n", kClients, throughputSeconds);
    std::printf("  service %.0f beeps/s, bare echo %.0f messages/s, ratio %.2f\n", serviceRate, bareRate,
                bareRate > 0 ? serviceRate / bareRate : 0.0);
    std::printf("churn, waves of %d clients (connect, beep, close) for %d s:\n", kClients, churnSeconds);
    churn(servers.servicePort, churnSeconds);

    servers.quit();
    servers.wait();
    return 0;
}
