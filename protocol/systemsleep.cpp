#include "systemsleep.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QPointer>

namespace {

const char kService[] = "org.freedesktop.login1";
const char kPath[] = "/org/freedesktop/login1";
const char kInterface[] = "org.freedesktop.login1.Manager";
const char kSignal[] = "PrepareForSleep";

} // namespace

SystemSleep *SystemSleep::instance()
{
    // Lives as long as the application, which owns it.
    static QPointer<SystemSleep> sleep;
    if (!sleep && QCoreApplication::instance())
        sleep = new SystemSleep(QCoreApplication::instance());
    return sleep;
}

SystemSleep::SystemSleep(QObject *parent) : QObject(parent)
{
    // DBUS_SYSTEM_BUS_ADDRESS, when set, names the bus (tests start their own).
    QDBusConnection bus = QDBusConnection::systemBus();
    m_watching = bus.isConnected()
                 && bus.connect(QLatin1String(kService), QLatin1String(kPath), QLatin1String(kInterface),
                                QLatin1String(kSignal), this, SLOT(prepareForSleep(bool)));
    if (m_watching)
        qInfo("system sleep: watching logind's PrepareForSleep on the system bus");
    else
        qInfo("system sleep: no system bus, resumes are not watched (a reader lost in one still counts as unplugged)");
}

void SystemSleep::prepareForSleep(bool sleeping)
{
    qInfo("system sleep: %s", sleeping ? "suspending" : "resumed");
    if (!sleeping)
        emit resumed();
}
