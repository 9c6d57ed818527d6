// dorvent-vreader: the emulated reader, with dorvent-emu's demo deck, as a USB
// device for virtual machines. QEMU (or libvirt) connects its usb-redir
// device to the socket, and the guest's kernel sees the reader on its bus.

#include "controlchannel.h"
#include "demodeck.h"
#include "emulatedreader.h"
#include "virtualreader.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// A long-running device keeps only recent transfers in memory.
constexpr std::size_t kEmulatorLogLimit = 4096;

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("dorvent-vreader"));

    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral(
        "The emulated Dorvent reader (06CE:E03F) as a USB device for virtual machines, served over "
        "usb-redir on a UNIX socket."));
    options.addHelpOption();
    const QCommandLineOption redir(QStringLiteral("usbredir"),
                                   QStringLiteral("Listen for the usb-redir peer (QEMU's chardev) on <path>."),
                                   QStringLiteral("path"));
    const QCommandLineOption control(QStringLiteral("control"),
                                     QStringLiteral("Take control commands, one JSON object per line, on <path>."),
                                     QStringLiteral("path"));
    const QCommandLineOption wsControl(
        QStringLiteral("ws-control"),
        QStringLiteral("Also serve the emulator's WebSocket control channel on 127.0.0.1:<port> (dorvent-emu uses 17799)."),
        QStringLiteral("port"));
    const QCommandLineOption setupLog(QStringLiteral("setup-log"),
                                      QStringLiteral("Append every setup packet and its outcome to <file>."),
                                      QStringLiteral("file"));
    const QCommandLineOption unplugged(QStringLiteral("unplugged"),
                                       QStringLiteral("Start with the reader unplugged."));
    options.addOptions({redir, control, wsControl, setupLog, unplugged});
    options.process(app);
    if (!options.isSet(redir)) {
        std::fprintf(stderr, "dorvent-vreader: --usbredir PATH is needed\n");
        return 2;
    }

    using namespace dorvent;
    emulator::installDemoDeck();
    emulator::EmulatedReader::instance().setLogLimit(kEmulatorLogLimit);
    if (options.isSet(unplugged))
        emulator::EmulatedReader::instance().unplug();

    vusb::VirtualReader reader; // lives until the process ends

    std::FILE *log = nullptr;
    if (options.isSet(setupLog)) {
        log = std::fopen(options.value(setupLog).toLocal8Bit().constData(), "a");
        if (!log) {
            std::fprintf(stderr, "dorvent-vreader: %s: %s\n", qPrintable(options.value(setupLog)),
                         std::strerror(errno));
            return 1;
        }
        reader.device().setLogFile(log);
    }
    if (!reader.listenUsbRedir(options.value(redir))
        || (options.isSet(control) && !reader.listenControl(options.value(control)))) {
        std::fprintf(stderr, "dorvent-vreader: cannot listen on %s\n", qPrintable(reader.errorString()));
        return 1;
    }
    if (options.isSet(wsControl)) {
        bool ok = false;
        const uint port = options.value(wsControl).toUInt(&ok);
        // Lives as long as the process.
        auto *channel = ok && port > 0 && port < 65536 ? new emulator::ControlChannel(quint16(port), &app) : nullptr;
        if (!channel || !channel->isListening()) {
            std::fprintf(stderr, "dorvent-vreader: cannot serve the control channel on port %s\n",
                         qPrintable(options.value(wsControl)));
            return 1;
        }
    }
    qInfo("dorvent-vreader: usb-redir on %s, reader %s", qPrintable(options.value(redir)),
          emulator::EmulatedReader::instance().isPlugged() ? "plugged in" : "unplugged");

    const int result = app.exec();
    reader.device().setLogFile(nullptr);
    if (log)
        std::fclose(log);
    return result;
}
