#pragma once

#include "readerdevice.h"

#include <QObject>
#include <QPointer>
#include <QString>

class QLocalServer;
class QLocalSocket;

namespace dorvent::vusb {

class RedirPeer;

// The emulated reader on a virtual USB bus: a usb-redir server on a UNIX
// socket (one peer at a time; QEMU connects to it) and a control socket
// taking one JSON command per line. The emulated reader's plugging, from
// either control door or from a fault it was told to have, moves the device
// on and off the peer's bus.
//
// Control commands are those of the emulator's control channel, plus:
//   {"cmd":"unplug","afterTransfers":N}  gone right after the next N transfers
//   {"cmd":"setups"}                     the setups logged since the last ask
class VirtualReader : public QObject
{
    Q_OBJECT
public:
    explicit VirtualReader(QObject *parent = nullptr);
    ~VirtualReader() override;

    ReaderDevice &device() { return m_device; }

    // Both remove a stale socket file first. False (with errorString()) when
    // the path cannot be listened on.
    bool listenUsbRedir(const QString &path);
    bool listenControl(const QString &path);
    QString errorString() const { return m_error; }

    // One control line in, its reply line out (without the newline).
    QString handleControl(const QString &line);

private:
    void onRedirConnection();
    void onControlConnection();
    void plugChanged(bool plugged);

    ReaderDevice m_device;
    QLocalServer *m_redirServer = nullptr;   // child
    QLocalServer *m_controlServer = nullptr; // child
    QPointer<QLocalSocket> m_redirSocket;    // the one peer, deleted when it leaves
    RedirPeer *m_peer = nullptr;             // child of m_redirSocket
    QString m_error;
};

} // namespace dorvent::vusb
