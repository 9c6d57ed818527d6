// dorvent-doctor: what keeps a web page from the reader. Each check says what
// it saw and, when it does not hold, how to fix it; the exit status is 0 only
// when every check holds. It reads the system and never opens the reader: the
// running service holds it.
#include "bundle.h"
#include "settings.h"
#include "systemfacts.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QTextStream>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <cstdio>
#include <sys/stat.h>

namespace {

using namespace doctor;

constexpr quint16 kReaderVendor = 0x06CE;
constexpr quint16 kReaderProduct = 0xE03F;
constexpr quint16 kServicePort = 17798;
constexpr char kServiceUser[] = "dorvent";
constexpr char kAppDir[] = "/opt/apps/cn.luvaro.dorvent/bin";
constexpr char kUdevRule[] = "/lib/udev/rules.d/60-dorvent.rules";
constexpr char kFontAliases[] = "/etc/fonts/conf.d/30-dorvent-aliases.conf";
constexpr int kProbeTimeoutMs = 3000;

enum class Verdict { Holds, Fails, NotChecked };

struct Finding
{
    Verdict verdict;
    QString seen;
    QString fix;
};

Finding holds(const QString &seen) { return {Verdict::Holds, seen, QString()}; }
Finding fails(const QString &seen, const QString &fix) { return {Verdict::Fails, seen, fix}; }

struct Facts
{
    QVector<UsbDevice> readers;
    Account service;
};

QString modeText(mode_t mode) { return QStringLiteral("%1").arg(mode & 07777, 4, 8, QLatin1Char('0')); }

QString ownerText(const struct stat &st)
{
    return userName(st.st_uid) + QLatin1Char(':') + groupName(st.st_gid) + QLatin1Char(' ') + modeText(st.st_mode);
}

QString appFile(const char *name) { return QString::fromLatin1(kAppDir) + QLatin1Char('/') + QLatin1String(name); }

const QString kReinstall = QStringLiteral("sudo apt install --reinstall dorvent");

Finding readerOnBus(const Facts &facts)
{
    if (facts.readers.isEmpty())
        return fails(QStringLiteral("No USB device 06CE:E03F: the reader is not plugged in, or gets no power."),
                     QStringLiteral("Plug the reader in (try another port or cable); `lsusb -d 06ce:e03f` must "
                                    "list it. In a virtual machine, pass the USB device through to the guest."));
    QStringList seen;
    for (const UsbDevice &reader : facts.readers) {
        const QString drivers = reader.interfaceDrivers.isEmpty()
            ? QStringLiteral("no kernel driver holds it (the service has detached it to use it)")
            : QStringLiteral("kernel driver %1 (the service detaches it when it opens the reader)")
                  .arg(reader.interfaceDrivers.join(QStringLiteral(", ")));
        seen << QStringLiteral("06CE:E03F on bus %1 device %2 (%3); %4.")
                    .arg(reader.bus, 3, 10, QLatin1Char('0'))
                    .arg(reader.address, 3, 10, QLatin1Char('0'))
                    .arg(reader.node, drivers);
    }
    return holds(seen.join(QLatin1Char(' ')));
}

Finding readerAccess(const Facts &facts)
{
    if (facts.readers.isEmpty())
        return {Verdict::NotChecked, QStringLiteral("Not checked: no reader on the bus."), QString()};
    if (!facts.service.exists)
        return fails(QStringLiteral("There is no user '%1' to run the service.").arg(QLatin1String(kServiceUser)),
                     kReinstall + QStringLiteral(" (it creates the user)."));
    const QString rule = QFileInfo::exists(QString::fromLatin1(kUdevRule))
        ? QStringLiteral("The package's rule %1 gives the reader to group %2, mode 0660.")
              .arg(QLatin1String(kUdevRule), QLatin1String(kServiceUser))
        : QStringLiteral("The package's rule %1 is missing: %2.").arg(QLatin1String(kUdevRule), kReinstall);
    const QString apply = QStringLiteral(" Apply it: sudo udevadm control --reload-rules && sudo udevadm trigger "
                                         "--action=add --attr-match=idVendor=06ce, or unplug and replug the reader.");
    QStringList seen;
    for (const UsbDevice &reader : facts.readers) {
        struct stat st;
        const QByteArray node = QFile::encodeName(reader.node);
        if (::stat(node.constData(), &st) != 0 || !S_ISCHR(st.st_mode))
            return fails(QStringLiteral("The reader has no device node %1.").arg(reader.node),
                         QStringLiteral("udev creates it: is it running? (systemctl status systemd-udevd); "
                                        "then unplug and replug the reader."));
        if (st.st_mode & S_IWOTH)
            return fails(QStringLiteral("%1 is %2: every user on this machine may drive the reader.")
                             .arg(reader.node, ownerText(st)),
                         QStringLiteral("Remove the udev rule that opens it to everyone "
                                        "(grep -ril 06ce /etc/udev/rules.d). ") + rule + apply);
        if (!mayReadWrite(facts.service, st.st_uid, st.st_gid, st.st_mode))
            return fails(QStringLiteral("%1 is %2: user %3 may not open it.")
                             .arg(reader.node, ownerText(st), QLatin1String(kServiceUser)),
                         rule + apply);
        seen << QStringLiteral("%1 is %2.").arg(reader.node, ownerText(st));
    }
    return holds(seen.join(QLatin1Char(' ')));
}

// An action the service does not know comes back unchanged: a round trip that
// touches neither the reader nor anyone's session with it.
bool answersWebSocket(bool ipv6)
{
    const QString probe = QStringLiteral("{\"_act\":\"dorventDoctorEcho\",\"_tflag\":\"doctor\"}");
    QWebSocket socket;
    QEventLoop loop;
    bool echoed = false;
    QObject::connect(&socket, &QWebSocket::connected, &loop, [&] { socket.sendTextMessage(probe); });
    QObject::connect(&socket, &QWebSocket::textMessageReceived, &loop, [&](const QString &text) {
        echoed = text == probe;
        loop.quit();
    });
    QObject::connect(&socket, &QWebSocket::disconnected, &loop, &QEventLoop::quit);
    QTimer::singleShot(kProbeTimeoutMs, &loop, &QEventLoop::quit);
    socket.open(QUrl(QStringLiteral("ws://%1:%2/").arg(ipv6 ? QStringLiteral("[::1]") : QStringLiteral("127.0.0.1"))
                         .arg(kServicePort)));
    loop.exec();
    socket.abort();
    return echoed;
}

Finding serviceListening(const Facts &)
{
    const QString logs = QStringLiteral("journalctl -u dorvent -e shows why it stopped.");
    const Listener listener = findListener(kServicePort);
    if (!listener.found)
        return fails(QStringLiteral("Nothing listens on TCP port %1: the service is not running.").arg(kServicePort),
                     QStringLiteral("sudo systemctl start dorvent; sudo systemctl enable dorvent starts it at boot. ")
                         + logs);
    // Another user's process (the service's, too) is hidden from an ordinary
    // user: then only its answer tells whether it is the service.
    const QString holder = listener.pid != 0
        ? QStringLiteral("process %1 (%2)").arg(listener.pid).arg(listener.command)
        : QStringLiteral("a process this user cannot see (sudo dorvent-doctor names it)");
    if (listener.pid != 0 && !listener.command.startsWith(QLatin1String("dorvent")))
        return fails(QStringLiteral("Port %1 is held by %2, not by the service, which cannot listen while it is.")
                         .arg(kServicePort)
                         .arg(holder),
                     QStringLiteral("Stop that program or move it to another port, then: sudo systemctl restart "
                                    "dorvent"));
    if (!answersWebSocket(listener.ipv6))
        return fails(QStringLiteral("%1 holds port %2 but did not answer a WebSocket message as the service does "
                                    "within %3 s.")
                         .arg(holder)
                         .arg(kServicePort)
                         .arg(kProbeTimeoutMs / 1000),
                     QStringLiteral("If it is the service, a card operation may be running (it blocks every client); "
                                    "if not: sudo systemctl restart dorvent. ")
                         + logs);
    return holds(QStringLiteral("%1 listens on port %2 and answers over WebSocket.").arg(holder).arg(kServicePort));
}

Finding templatesLoad(const Facts &)
{
    QStringList seen;
    QStringList broken;
    for (const char *name : {"front.jpg", "back.jpg"}) {
        QImageReader reader(appFile(name));
        const QImage image = reader.read();
        if (image.isNull())
            broken << QStringLiteral("%1 (%2)").arg(appFile(name), reader.errorString());
        else
            seen << QStringLiteral("%1 %2×%3").arg(QLatin1String(name)).arg(image.width()).arg(image.height());
    }
    if (!broken.isEmpty())
        return fails(QStringLiteral("Card templates that do not load: %1; the card pictures come out empty.")
                         .arg(broken.join(QStringLiteral(", "))),
                     kReinstall + QLatin1Char('.'));
    return holds(QStringLiteral("In %1: %2.").arg(QLatin1String(kAppDir), seen.join(QStringLiteral(", "))));
}

struct FontNeed
{
    const char *family;
    bool chinese;
};

constexpr FontNeed kFontNeeds[] = {{"SimHei", true}, {"SimSun", true}, {"Tahoma", false}};

Finding fontsResolve(const Facts &)
{
    QStringList seen;
    QStringList wrong;
    for (const FontNeed &need : kFontNeeds) {
        const FontMatch match = matchFont(QLatin1String(need.family));
        if (!match.ran)
            return fails(QStringLiteral("fc-match cannot be run, so the fonts cannot be checked."),
                         QStringLiteral("sudo apt install fontconfig"));
        const QString line = QStringLiteral("%1 → %2").arg(QLatin1String(need.family), match.family);
        seen << line;
        if (need.chinese && !match.chinese)
            wrong << line + QStringLiteral(" (no Chinese glyphs)");
    }
    if (!wrong.isEmpty())
        return fails(QStringLiteral("%1: the card pictures would show empty boxes.").arg(wrong.join(QStringLiteral(", "))),
                     QStringLiteral("sudo apt install fonts-wqy-zenhei fontconfig; the aliases are %1 (%2 if it is "
                                    "missing); then sudo fc-cache -f.")
                         .arg(QLatin1String(kFontAliases), kReinstall));
    return holds(seen.join(QStringLiteral(", ")) + QLatin1Char('.'));
}

Finding picturesWritable(const Facts &facts)
{
    const QString reconfigure = QStringLiteral("sudo dpkg-reconfigure dorvent makes them again (%1's, 0600).")
                                    .arg(QLatin1String(kServiceUser));
    struct stat dir;
    if (::stat(kAppDir, &dir) != 0)
        return fails(QStringLiteral("%1 is missing.").arg(QLatin1String(kAppDir)), kReinstall + QLatin1Char('.'));
    if (dir.st_uid != 0 || (dir.st_mode & (S_IWGRP | S_IWOTH)))
        return fails(QStringLiteral("%1 is %2: others than root may put files there.")
                         .arg(QLatin1String(kAppDir), ownerText(dir)),
                     QStringLiteral("sudo chown root:root %1 && sudo chmod 0755 %1").arg(QLatin1String(kAppDir)));
    if (!facts.service.exists)
        return fails(QStringLiteral("There is no user '%1' to write them.").arg(QLatin1String(kServiceUser)),
                     kReinstall + QStringLiteral(" (it creates the user)."));
    QStringList seen;
    for (const char *name : {"frontNew.jpg", "backNew.jpg"}) {
        const QString path = appFile(name);
        const QByteArray encoded = QFile::encodeName(path);
        struct stat st;
        if (::lstat(encoded.constData(), &st) != 0)
            return fails(QStringLiteral("%1 is missing, and the service may not create files there.").arg(path),
                         reconfigure);
        if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != facts.service.uid)
            return fails(QStringLiteral("%1 is not a plain file of user %2 (%3): the service will not write it.")
                             .arg(path, QLatin1String(kServiceUser), ownerText(st)),
                         reconfigure);
        if ((st.st_mode & 0777) != 0600)
            return fails(QStringLiteral("%1 is %2: a card picture shows the holder's data and is for the service "
                                        "alone.")
                             .arg(path, ownerText(st)),
                         QStringLiteral("sudo chmod 0600 %1").arg(path));
        seen << QStringLiteral("%1 %2").arg(QLatin1String(name), ownerText(st));
    }
    return holds(seen.join(QStringLiteral(", ")) + QLatin1Char('.'));
}

Finding configurationUsable(const Facts &)
{
    using namespace dorvent::config;
    const QString path = QString::fromLatin1(kDefaultConfigPath);
    if (!QFileInfo::exists(path))
        return holds(QStringLiteral("No %1: the built-in settings (%2).").arg(path, Settings().describe()));
    const Parsed parsed = loadSettings(path, true);
    if (!parsed.ok)
        return fails(QStringLiteral("%1. The service does not start with it, and keeps its old settings when it is "
                                    "reloaded.")
                         .arg(parsed.error),
                     QStringLiteral("Correct that line (the file says what each setting takes), then: sudo systemctl "
                                    "restart dorvent"));
    return holds(QStringLiteral("%1: %2.").arg(path, parsed.settings.describe()));
}

struct Check
{
    const char *title;
    Finding (*run)(const Facts &);
};

const Check kChecks[] = {
    {"The reader is on the USB bus", readerOnBus},
    {"The service user may open the reader", readerAccess},
    {"The service is running and listening on port 17798", serviceListening},
    {"The card templates load", templatesLoad},
    {"The card fonts resolve to installed fonts", fontsResolve},
    {"The service may write the card pictures", picturesWritable},
    {"The configuration file can be used", configurationUsable},
};

const char *mark(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Holds:
        return "[ ok ]";
    case Verdict::Fails:
        return "[FAIL]";
    case Verdict::NotChecked:
        break;
    }
    return "[ -- ]";
}

// The checks, written to out; how many do not hold.
int runChecks(QTextStream &out)
{
    const Facts facts{findUsbDevices(kReaderVendor, kReaderProduct), lookUpAccount(QLatin1String(kServiceUser))};
    int failing = 0;
    for (const Check &check : kChecks) {
        const Finding finding = check.run(facts);
        out << mark(finding.verdict) << ' ' << check.title << '\n' << "       " << finding.seen << '\n';
        if (!finding.fix.isEmpty())
            out << "       Fix: " << finding.fix << '\n';
        if (finding.verdict != Verdict::Holds)
            ++failing;
    }
    const int total = int(sizeof kChecks / sizeof kChecks[0]);
    if (failing == 0)
        out << "\nAll " << total << " checks hold.\n";
    else
        out << '\n' << failing << " of " << total << " checks do not hold.\n";
    return failing;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const QStringList arguments = app.arguments();
    const bool bundle = arguments.size() == 3 && arguments.at(1) == QLatin1String("--bundle");
    if (arguments.size() > 1 && !bundle) {
        out << "usage: dorvent-doctor [--bundle FILE]\n"
               "Checks what a web page needs to reach the card reader through the dorvent service,\n"
               "and says how to fix what does not hold. Run it as root (sudo) to see every process.\n"
               "Exit status: 0 when every check holds, 1 otherwise.\n"
               "--bundle FILE: also writes FILE, a tarball (.tar.gz) to attach to a support request:\n"
               "versions, the configuration, the USB devices, these checks and the service's journal\n"
               "of the last hour, masked. Exit status: 0 when it is written, 2 otherwise.\n";
        return arguments.at(1) == QLatin1String("--help") || arguments.at(1) == QLatin1String("-h") ? 0 : 2;
    }

    QString report;
    QTextStream reportStream(&report);
    const int failing = runChecks(reportStream);
    reportStream.flush();
    out << report;
    if (!bundle)
        return failing == 0 ? 0 : 1;
    out.flush();
    const QString error = doctor::writeBundle(arguments.at(2), report);
    if (!error.isEmpty()) {
        out << "\nNo support bundle: " << error << '\n';
        return 2;
    }
    out << "\nSupport bundle: " << arguments.at(2) << '\n';
    return 0;
}
