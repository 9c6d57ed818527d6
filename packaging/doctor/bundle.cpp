#include "bundle.h"

#include "servicelog.h"
#include "settings.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTextStream>

#include <sys/stat.h>

namespace doctor {
namespace {

constexpr int kCommandTimeoutMs = 20000;

// A command's output, or why there is none (not installed, failed).
QString commandOutput(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const QString line = (QStringList{program} + arguments).join(QLatin1Char(' '));
    if (!process.waitForStarted())
        return QStringLiteral("(%1: not available on this machine)\n").arg(line);
    if (!process.waitForFinished(kCommandTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return QStringLiteral("(%1: no answer within %2 s)\n").arg(line).arg(kCommandTimeoutMs / 1000);
    }
    QString output = QString::fromUtf8(process.readAll());
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        output += QStringLiteral("(%1: exit status %2)\n").arg(line).arg(process.exitCode());
    return output;
}

QString section(const QString &title, const QString &body)
{
    return QStringLiteral("== %1\n%2%3\n").arg(title, body, body.endsWith(QLatin1Char('\n')) ? QString() : QStringLiteral("\n"));
}

QString versions()
{
    QString text;
    text += section(QStringLiteral("packages"),
                    commandOutput(QStringLiteral("dpkg-query"),
                                  {QStringLiteral("-W"), QStringLiteral("-f=${Package} ${Version} ${Status}\\n"),
                                   QStringLiteral("dorvent"), QStringLiteral("libusb-1.0-0"),
                                   QStringLiteral("libqt5websockets5"), QStringLiteral("libqt5core5a"),
                                   QStringLiteral("systemd"), QStringLiteral("udev")}));
    text += section(QStringLiteral("system"),
                    QStringLiteral("%1\nkernel %2 %3\nQt %4 (doctor)\n")
                        .arg(QSysInfo::prettyProductName(), QSysInfo::kernelVersion(),
                             QSysInfo::currentCpuArchitecture(), QString::fromLatin1(qVersion())));
    return text;
}

QString configuration()
{
    using namespace dorvent::config;
    const QString path = QString::fromLatin1(kDefaultConfigPath);
    if (!QFileInfo::exists(path))
        return QStringLiteral("%1 is absent: the built-in settings (%2).\n").arg(path, Settings().describe());
    const Parsed parsed = loadSettings(path, true);
    return parsed.ok ? QStringLiteral("%1 is valid: %2.\n").arg(path, parsed.settings.describe())
                     : QStringLiteral("%1 cannot be used, the service refuses to start: %2\n").arg(path, parsed.error);
}

QString journal()
{
    const QString raw = commandOutput(QStringLiteral("journalctl"),
                                      {QStringLiteral("--unit=dorvent"), QStringLiteral("--since=-1h"),
                                       QStringLiteral("--no-pager"), QStringLiteral("--output=short-iso")});
    QString masked;
    const QStringList lines = raw.split(QLatin1Char('\n'));
    for (const QString &line : lines)
        masked += dorvent::config::log::maskedJournalLine(line) + QLatin1Char('\n');
    return masked;
}

bool writeText(const QString &path, const QString &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text.toUtf8()) >= 0;
}

// lsusb, or the bus as sysfs shows it where usbutils is not installed.
QString usbDevices()
{
    QString text = section(QStringLiteral("lsusb"), commandOutput(QStringLiteral("lsusb"), {}));
    text += section(QStringLiteral("lsusb -v -d 06ce:e03f"),
                    commandOutput(QStringLiteral("lsusb"), {QStringLiteral("-v"), QStringLiteral("-d"),
                                                            QStringLiteral("06ce:e03f")}));
    QString sysfs;
    const QDir devices(QStringLiteral("/sys/bus/usb/devices"));
    for (const QString &name : devices.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        const auto attribute = [&](const char *key) {
            QFile file(devices.filePath(name) + QLatin1Char('/') + QLatin1String(key));
            return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readLine()).trimmed() : QString();
        };
        if (!attribute("idVendor").isEmpty())
            sysfs += QStringLiteral("%1 %2:%3 %4 %5\n")
                         .arg(name, attribute("idVendor"), attribute("idProduct"), attribute("manufacturer"),
                              attribute("product"));
    }
    return text + section(QStringLiteral("/sys/bus/usb/devices"), sysfs.isEmpty() ? QStringLiteral("(none)\n") : sysfs);
}

const char kReadme[] =
    "A support bundle of dorvent-doctor, made %1 on %2.\n"
    "\n"
    "versions.txt       the packages and the system\n"
    "configuration.txt  whether /etc/dorvent/dorvent.conf can be used, and the settings in force\n"
    "dorvent.conf       the file itself, when there is one\n"
    "lsusb.txt          the USB devices, and the reader's descriptors\n"
    "doctor.txt         the doctor's checks\n"
    "service.txt        the service's state in systemd\n"
    "journal.txt        the service's log of the last hour (journalctl -u dorvent)\n"
    "dorvent-*.trace    the newest trace recorded redacted, when there is one (below)\n"
    "\n"
    "The service logs no key, PIN, APDU or card holder's data; in journal.txt,\n"
    "JSON objects are masked as the service's debug log masks frames, and every\n"
    "run of 8 or more digits or hex digits is replaced with <masked>.\n"
    "%3\n";

// A trace is included only when its header says it was recorded redacted.
constexpr char kTraceFirstLine[] = "# dorvent trace 1";
constexpr char kRedactedLine[] = "# recording: redacted";
constexpr int kMaxHeaderLines = 16;

bool recordedRedacted(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.readLine().trimmed() != kTraceFirstLine)
        return false;
    for (int i = 0; i < kMaxHeaderLines && !file.atEnd(); ++i) {
        const QByteArray line = file.readLine().trimmed();
        if (!line.startsWith('#'))
            return false;
        if (line.startsWith("# recording:"))
            return line == kRedactedLine;
    }
    return false;
}

// The newest trace recorded redacted in the configured directory: copied
// into dir, and the README's sentence about it.
QString addNewestTrace(const QDir &dir)
{
    using namespace dorvent::config;
    const Parsed parsed = loadSettings(QString::fromLatin1(kDefaultConfigPath), false);
    const QString traces = parsed.ok ? parsed.settings.traceDirectory : QString::fromLatin1(kDefaultTraceDirectory);
    const QDir source(traces);
    if (!source.exists())
        return QStringLiteral("No trace is included: there is no %1.").arg(traces);
    if (!QFileInfo(traces).isReadable())
        return QStringLiteral("No trace is included: %1 cannot be read (run dorvent-doctor with sudo).").arg(traces);
    const QFileInfoList files = source.entryInfoList({QStringLiteral("dorvent-*.trace")},
                                                     QDir::Files | QDir::NoSymLinks, QDir::Time);
    for (const QFileInfo &file : files) {
        if (!recordedRedacted(file.filePath()))
            continue; // recorded with everything, unreadable, or no trace
        if (!QFile::copy(file.filePath(), dir.filePath(file.fileName())))
            return QStringLiteral("No trace is included: %1 could not be copied.").arg(file.filePath());
        return QStringLiteral("%1, the newest trace recorded redacted in %2:\n"
                              "the reader's USB reports, with keys, PINs, APDU data and card holders'\n"
                              "data replaced by xx (bytes) and * (text). A trace recorded with\n"
                              "everything is never included.")
            .arg(file.fileName(), traces);
    }
    return QStringLiteral("No trace is included: %1 holds no readable trace recorded redacted.").arg(traces);
}

} // namespace

QString writeBundle(const QString &file, const QString &report)
{
    QTemporaryDir work;
    if (!work.isValid())
        return QStringLiteral("no temporary folder: %1").arg(work.errorString());
    const QString now = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    const QString name = QStringLiteral("dorvent-bundle-") + now;
    QDir dir(work.path());
    if (!dir.mkdir(name) || !dir.cd(name))
        return QStringLiteral("cannot make %1 in %2").arg(name, work.path());

    const QString config = QString::fromLatin1(dorvent::config::kDefaultConfigPath);
    const QString trace = addNewestTrace(dir);
    bool written = writeText(dir.filePath(QStringLiteral("README.txt")),
                             QString::fromLatin1(kReadme).arg(now, QSysInfo::machineHostName(), trace))
                   && writeText(dir.filePath(QStringLiteral("versions.txt")), versions())
                   && writeText(dir.filePath(QStringLiteral("configuration.txt")), configuration())
                   && writeText(dir.filePath(QStringLiteral("lsusb.txt")), usbDevices())
                   && writeText(dir.filePath(QStringLiteral("doctor.txt")), report)
                   && writeText(dir.filePath(QStringLiteral("service.txt")),
                                commandOutput(QStringLiteral("systemctl"),
                                              {QStringLiteral("status"), QStringLiteral("--no-pager"),
                                               QStringLiteral("--lines=0"), QStringLiteral("dorvent")}))
                   && writeText(dir.filePath(QStringLiteral("journal.txt")), journal());
    if (written && QFileInfo::exists(config))
        written = QFile::copy(config, dir.filePath(QStringLiteral("dorvent.conf")));
    if (!written)
        return QStringLiteral("cannot write the bundle's files in %1").arg(dir.path());

    // The journal names clients and origins: the bundle is for its maker alone.
    const mode_t previous = ::umask(077);
    const QString tar = commandOutput(QStringLiteral("tar"), {QStringLiteral("-czf"), QFileInfo(file).absoluteFilePath(),
                                                              QStringLiteral("-C"), work.path(), name});
    ::umask(previous);
    if (!tar.isEmpty())
        return tar.trimmed();
    return QString();
}

} // namespace doctor
