#include "systemfacts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTextStream>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace doctor {
namespace {

constexpr char kUsbDevices[] = "/sys/bus/usb/devices";
constexpr int kTcpListen = 0x0A;
constexpr int kFcMatchTimeoutMs = 5000;

QString readLine(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(file.readLine()).trimmed();
}

// Socket inodes listening on the port, from one of /proc/net/tcp, tcp6.
QStringList listeningInodes(const QString &table, quint16 port)
{
    QStringList inodes;
    QFile file(table);
    if (!file.open(QIODevice::ReadOnly))
        return inodes;
    file.readLine(); // header
    while (!file.atEnd()) {
        // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode
        const QStringList fields = QString::fromLatin1(file.readLine()).simplified().split(QLatin1Char(' '));
        if (fields.size() < 10)
            continue;
        const QString local = fields.at(1);
        bool okPort = false;
        bool okState = false;
        const uint localPort = local.section(QLatin1Char(':'), -1).toUInt(&okPort, 16);
        const int state = fields.at(3).toInt(&okState, 16);
        if (okPort && okState && localPort == port && state == kTcpListen)
            inodes << fields.at(9);
    }
    return inodes;
}

} // namespace

QVector<UsbDevice> findUsbDevices(quint16 vendor, quint16 product)
{
    QVector<UsbDevice> found;
    const QString vendorText = QStringLiteral("%1").arg(vendor, 4, 16, QLatin1Char('0'));
    const QString productText = QStringLiteral("%1").arg(product, 4, 16, QLatin1Char('0'));
    const QDir devices(QString::fromLatin1(kUsbDevices));
    const QStringList names = devices.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &name : names) {
        if (name.contains(QLatin1Char(':'))) // an interface, not a device
            continue;
        const QString dir = devices.filePath(name);
        if (readLine(dir + QStringLiteral("/idVendor")).toLower() != vendorText
            || readLine(dir + QStringLiteral("/idProduct")).toLower() != productText)
            continue;
        UsbDevice device;
        device.sysName = name;
        device.bus = readLine(dir + QStringLiteral("/busnum")).toInt();
        device.address = readLine(dir + QStringLiteral("/devnum")).toInt();
        device.node = QStringLiteral("/dev/bus/usb/%1/%2")
                          .arg(device.bus, 3, 10, QLatin1Char('0'))
                          .arg(device.address, 3, 10, QLatin1Char('0'));
        for (const QString &iface : names) {
            if (!iface.startsWith(name + QLatin1Char(':')))
                continue;
            const QFileInfo driver(devices.filePath(iface) + QStringLiteral("/driver"));
            if (driver.isSymLink())
                device.interfaceDrivers << iface + QLatin1Char(' ') + QFileInfo(driver.symLinkTarget()).fileName();
        }
        found << device;
    }
    return found;
}

Account lookUpAccount(const QString &name)
{
    Account account;
    const QByteArray login = name.toLocal8Bit();
    const struct passwd *pw = ::getpwnam(login.constData());
    if (!pw)
        return account;
    account.exists = true;
    account.uid = pw->pw_uid;
    int count = 32;
    QVector<gid_t> groups(count);
    if (::getgrouplist(login.constData(), pw->pw_gid, groups.data(), &count) < 0) {
        groups.resize(count);
        ::getgrouplist(login.constData(), pw->pw_gid, groups.data(), &count);
    }
    groups.resize(count);
    groups.removeAll(pw->pw_gid);
    groups.prepend(pw->pw_gid);
    account.groups = groups;
    return account;
}

bool mayReadWrite(const Account &account, uid_t owner, gid_t group, mode_t mode)
{
    if (!account.exists)
        return false;
    if (account.uid == owner)
        return (mode & 0600) == 0600;
    if (account.groups.contains(group))
        return (mode & 0060) == 0060;
    return (mode & 0006) == 0006;
}

QString userName(uid_t uid)
{
    const struct passwd *pw = ::getpwuid(uid);
    return pw ? QString::fromLocal8Bit(pw->pw_name) : QString::number(uid);
}

QString groupName(gid_t gid)
{
    const struct group *gr = ::getgrgid(gid);
    return gr ? QString::fromLocal8Bit(gr->gr_name) : QString::number(gid);
}

Listener findListener(quint16 port)
{
    Listener listener;
    QStringList inodes = listeningInodes(QStringLiteral("/proc/net/tcp"), port);
    const QStringList inodes6 = listeningInodes(QStringLiteral("/proc/net/tcp6"), port);
    if (inodes.isEmpty() && inodes6.isEmpty())
        return listener;
    listener.found = true;
    listener.ipv6 = inodes.isEmpty();
    inodes << inodes6;

    QStringList sockets;
    for (const QString &inode : qAsConst(inodes))
        sockets << QStringLiteral("socket:[%1]").arg(inode);
    const QDir proc(QStringLiteral("/proc"));
    for (const QString &pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        const qint64 id = pid.toLongLong(&numeric);
        if (!numeric)
            continue;
        const QDir fds(proc.filePath(pid) + QStringLiteral("/fd"));
        for (const QString &fd : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
            char target[64] = {};
            const QByteArray link = QFile::encodeName(fds.filePath(fd));
            const ssize_t n = ::readlink(link.constData(), target, sizeof target - 1);
            if (n > 0 && sockets.contains(QString::fromLatin1(target, int(n)))) {
                listener.pid = id;
                listener.command = readLine(proc.filePath(pid) + QStringLiteral("/comm"));
                return listener;
            }
        }
    }
    return listener;
}

FontMatch matchFont(const QString &family)
{
    FontMatch match;
    QProcess fcMatch;
    fcMatch.start(QStringLiteral("fc-match"),
                  {QStringLiteral("-f"), QStringLiteral("%{family[0]}\n%{file}\n%{lang}\n"), family});
    if (!fcMatch.waitForFinished(kFcMatchTimeoutMs) || fcMatch.exitStatus() != QProcess::NormalExit
        || fcMatch.exitCode() != 0)
        return match;
    const QStringList lines = QString::fromUtf8(fcMatch.readAllStandardOutput()).split(QLatin1Char('\n'));
    match.ran = true;
    match.family = lines.value(0);
    match.file = lines.value(1);
    match.chinese = lines.value(2).split(QLatin1Char('|')).contains(QStringLiteral("zh-cn"));
    return match;
}

} // namespace doctor
