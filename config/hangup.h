#pragma once

#include <QObject>

class QSocketNotifier;

namespace dorvent::config {

// SIGHUP as a signal on the event loop (the administrator's "read the
// configuration again"). One per process; the handler only writes a byte to
// a pipe, the rest happens on the main thread.
class HangupWatcher : public QObject
{
    Q_OBJECT
public:
    explicit HangupWatcher(QObject *parent = nullptr);
    ~HangupWatcher() override;

signals:
    void hangup();

private:
    void drain();

    QSocketNotifier *m_notifier = nullptr; // child
};

} // namespace dorvent::config
