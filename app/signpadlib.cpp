#include "echoserver.h"
#include "hangup.h"
#include "settings.h"

#include <QApplication>
#include <QDebug>
#include <QFileInfo>

#ifdef DORVENT_EMULATED_READER
#include "controlchannel.h"
#include "demodeck.h"
#include "emulatedreader.h"
#endif

#ifdef DORVENT_EMULATED_READER
constexpr std::size_t kEmulatorLogLimit = 4096;
#endif

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

    // The administrator's settings; without a file, the service as it always was.
    using namespace dorvent::config;
    const ConfigFile configFile = configFileFrom(a.arguments());
    const Parsed config = configFile.error.isEmpty() ? loadSettings(configFile.path, configFile.named)
                                                     : Parsed{false, Settings(), configFile.error};
    if (!config.ok) {
        qCritical("not started: %s", qUtf8Printable(config.error));
        return kExitBadConfig;
    }
    if (config.settings.log != LogLevel::Off)
        qInfo(QFileInfo::exists(configFile.path) ? "configuration %s" : "configuration: built-in (no %s)",
              qUtf8Printable(configFile.path));

    // Lives as long as the process; never deleted.
    EchoServer *server = new EchoServer(17798, config.settings);
    QObject::connect(server, &EchoServer::closed, &a, &QApplication::quit);
    // The server says where pages reach us and with which settings. A port
    // that is taken stays silent, as it always was: the process runs on and
    // serves nothing.

    // SIGHUP reads the file again; a file that cannot be used changes nothing.
    HangupWatcher hangup;
    QObject::connect(&hangup, &HangupWatcher::hangup, server, [server, configFile] {
        const Parsed reread = loadSettings(configFile.path, configFile.named);
        if (!reread.ok) {
            qWarning("configuration not reloaded, settings unchanged: %s", qUtf8Printable(reread.error));
            return;
        }
        if (reread.settings.log != LogLevel::Off || server->settings().log != LogLevel::Off)
            qInfo("configuration reloaded: %s", qUtf8Printable(reread.settings.describe()));
        server->applySettings(reread.settings);
    });

    return a.exec();
}
