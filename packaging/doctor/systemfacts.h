#pragma once

// What dorvent-doctor reads from the running system: the USB bus (sysfs),
// device nodes, users, listening sockets and their processes (/proc), fonts.
// Plain reads only: nothing here opens the reader or changes anything.

#include <QString>
#include <QStringList>
#include <QVector>

#include <sys/types.h>

namespace doctor {

struct UsbDevice
{
    QString sysName;        // e.g. "1-2"
    QString node;           // e.g. "/dev/bus/usb/001/005"
    int bus = 0;
    int address = 0;
    QStringList interfaceDrivers; // "1-2:1.0 usbhid"; empty when none is bound
};

// Every device on the bus with this vendor and product id.
QVector<UsbDevice> findUsbDevices(quint16 vendor, quint16 product);

struct Account
{
    bool exists = false;
    uid_t uid = 0;
    QVector<gid_t> groups; // primary first
};

Account lookUpAccount(const QString &name);

// Whether the account may open the file for reading and writing, by its owner,
// group and mode bits (as the kernel decides for a process without capabilities).
bool mayReadWrite(const Account &account, uid_t owner, gid_t group, mode_t mode);

QString userName(uid_t uid);
QString groupName(gid_t gid);

struct Listener
{
    bool found = false;
    bool ipv6 = false;
    qint64 pid = 0;   // 0 when the socket's process is not visible to us
    QString command;  // the process's name (comm)
};

// The process listening on this TCP port, from /proc/net/tcp{,6} and /proc/*/fd.
Listener findListener(quint16 port);

struct FontMatch
{
    bool ran = false; // fc-match could be run
    QString family;
    QString file;
    bool chinese = false; // covers Simplified Chinese
};

FontMatch matchFont(const QString &family);

} // namespace doctor
