#include "virtualreader.h"

#include "controlchannel.h"
#include "emulatedreader.h"
#include "redirpeer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>

#include <cmath>

namespace dorvent::vusb {
namespace {

using dorvent::emulator::ControlChannel;
using dorvent::emulator::EmulatedReader;

// Control lines are short JSON objects; a peer sending more without a
// newline is not speaking the protocol.
constexpr qint64 kMaxControlLine = 4096;
constexpr int kMaxAfterTransfers = 100000;

QString compact(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

} // namespace

VirtualReader::VirtualReader(QObject *parent) : QObject(parent)
{
    // Queued: the reader may vanish in the middle of a transfer (a fault it
    // was told to have), and that transfer's answer goes out first.
    EmulatedReader::instance().setPlugObserver([this](bool plugged) {
        QMetaObject::invokeMethod(this, [this, plugged] { plugChanged(plugged); }, Qt::QueuedConnection);
    });
    if (EmulatedReader::instance().isPlugged())
        m_device.attach();
}

VirtualReader::~VirtualReader()
{
    EmulatedReader::instance().setPlugObserver(nullptr);
    delete m_redirSocket; // and its peer, before the device goes
}

bool VirtualReader::listenUsbRedir(const QString &path)
{
    QLocalServer::removeServer(path);
    m_redirServer = new QLocalServer(this);
    connect(m_redirServer, &QLocalServer::newConnection, this, &VirtualReader::onRedirConnection);
    if (!m_redirServer->listen(path)) {
        m_error = QStringLiteral("%1: %2").arg(path, m_redirServer->errorString());
        return false;
    }
    return true;
}

bool VirtualReader::listenControl(const QString &path)
{
    QLocalServer::removeServer(path);
    m_controlServer = new QLocalServer(this);
    connect(m_controlServer, &QLocalServer::newConnection, this, &VirtualReader::onControlConnection);
    if (!m_controlServer->listen(path)) {
        m_error = QStringLiteral("%1: %2").arg(path, m_controlServer->errorString());
        return false;
    }
    return true;
}

void VirtualReader::onRedirConnection()
{
    while (QLocalSocket *socket = m_redirServer->nextPendingConnection()) {
        if (m_redirSocket) {
            // The device is on one bus at a time.
            qWarning("usbredir: a second peer is turned away");
            socket->disconnectFromServer();
            socket->deleteLater();
            continue;
        }
        qInfo("usbredir: peer connected");
        m_redirSocket = socket;
        m_peer = new RedirPeer(socket, m_device, socket);
        auto hangUp = [this, socket] {
            if (m_redirSocket != socket)
                return;
            qInfo("usbredir: peer gone");
            m_peer = nullptr;
            m_redirSocket = nullptr;
            socket->disconnectFromServer();
            socket->deleteLater();
        };
        connect(m_peer, &RedirPeer::failed, this, hangUp, Qt::QueuedConnection);
        connect(socket, &QLocalSocket::disconnected, this, hangUp, Qt::QueuedConnection);
        if (EmulatedReader::instance().isPlugged())
            m_peer->plug();
    }
}

void VirtualReader::onControlConnection()
{
    while (QLocalSocket *socket = m_controlServer->nextPendingConnection()) {
        connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
            while (socket->canReadLine()) {
                const QString line = QString::fromUtf8(socket->readLine()).trimmed();
                if (!line.isEmpty())
                    socket->write((handleControl(line) + QLatin1Char('\n')).toUtf8());
            }
            if (socket->bytesAvailable() > kMaxControlLine)
                socket->disconnectFromServer();
        });
        // Owned by the server until it disconnects, then deleted.
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    }
}

QString VirtualReader::handleControl(const QString &line)
{
    const QJsonObject command = QJsonDocument::fromJson(line.toUtf8()).object();
    const QString cmd = command.value("cmd").toString();
    if (cmd == QLatin1String("setups")) {
        QJsonArray setups;
        for (const std::string &setup : m_device.takeSetups())
            setups.append(QString::fromStdString(setup));
        QJsonObject reply{{"ok", true}, {"setups", setups}};
        if (command.contains("id"))
            reply.insert("id", command.value("id"));
        return compact(reply);
    }
    if (cmd == QLatin1String("unplug") && command.contains("afterTransfers")) {
        const double n = command.value("afterTransfers").toDouble(-1);
        if (!(n >= 1 && n <= kMaxAfterTransfers) || n != std::floor(n)) {
            QJsonObject reply{{"ok", false},
                              {"error", QStringLiteral("\"afterTransfers\" must be a whole number from 1 to %1")
                                            .arg(kMaxAfterTransfers)}};
            if (command.contains("id"))
                reply.insert("id", command.value("id"));
            return compact(reply);
        }
        EmulatedReader::instance().unplugAfterTransfers(int(n));
        QJsonObject list{{"cmd", "list"}};
        if (command.contains("id"))
            list.insert("id", command.value("id"));
        return ControlChannel::handle(compact(list));
    }
    return ControlChannel::handle(line);
}

void VirtualReader::plugChanged(bool plugged)
{
    // Follow the reader's state as it is now: an unplug and plug queued
    // back to back still leave the bus with one fresh device.
    const bool now = EmulatedReader::instance().isPlugged();
    if (plugged != now)
        return;
    if (now) {
        m_device.attach();
        if (m_peer) {
            m_peer->unplug(); // a replug is a new device on the bus
            m_peer->plug();
        }
    } else {
        m_device.detach();
        if (m_peer)
            m_peer->unplug();
    }
}

} // namespace dorvent::vusb
