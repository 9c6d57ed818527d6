#pragma once

#include <QObject>

// The system's suspend and resume, as logind announces them on the system
// bus (PrepareForSleep). One per process; without a system bus it stays
// silent and everything else works as before.
class SystemSleep : public QObject
{
    Q_OBJECT
public:
    // Null before the application object exists.
    static SystemSleep *instance();
    bool watching() const { return m_watching; }

signals:
    void resumed();

private slots:
    void prepareForSleep(bool sleeping);

private:
    explicit SystemSleep(QObject *parent);
    bool m_watching = false;
};
