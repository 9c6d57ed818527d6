#pragma once

#include "readerpresence.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>

class luvaroCard;

// Keeps the reader that a page opened usable while it comes and goes: when
// it leaves the USB bus (unplugged, or lost in a suspend) requests answer
// "reader gone" without touching it, and when it is back it is opened again
// by vendor and product id, so pages go on without "close" and "open".
// After a system resume its handle is renewed. A reader no page opened, or
// one a page closed, is left alone.
//
// Two signs that it left: libusb's hotplug event, and a handle that answers
// "no device" (asked after a failed request, and before each one, which
// also covers platforms without hotplug events; there, a request while it
// is gone tries to open it again).
class ReaderKeeper : public QObject
{
    Q_OBJECT
public:
    explicit ReaderKeeper(luvaroCard &card, QObject *parent = nullptr);

    // A page's "open" succeeded: from now on the reader is kept open.
    void opened();
    // "close": it is left alone.
    void closed();
    // Whether a page has it open (also while it is gone).
    bool kept() const { return m_kept; }
    bool gone() const { return m_kept && m_gone; }

    // Before a request that uses a kept reader: whether its handle works,
    // once opened again if the reader came back.
    bool ready();
    // After a kept reader's request failed: whether the reader had left.
    bool hasLeft();
    // After a resume: the kept reader's handle closed and opened again.
    void renew();

    // Whether the reader is there to use: for a kept reader, whether it is
    // open and usable; otherwise what hotplug events say, unknown without them.
    std::optional<bool> present();
    // When the reader was last opened, by a page or again by us; invalid before.
    QDateTime openedAt() const { return m_openedAt; }
    // The firmware text read through the present handle (empty: not read yet).
    QString firmware() const { return m_firmware; }
    void setFirmware(const QString &text) { m_firmware = text; }

    // Reopening after an arrival that fails (the device node's permissions
    // may come a moment after the reader) is tried again this often, while
    // the reader stays.
    static constexpr int kRetryMs = 250;
    static constexpr int kMaxRetries = 8;

signals:
    // A kept reader left: a request that waits holding it must end.
    void readerLeft();

private:
    void onArrived();
    void onLeft();
    bool handleDead() const;
    enum class Notify { No, Yes };
    void markGone(const char *why, Notify notify = Notify::Yes);
    enum class Retry { No, Later };
    bool reopen(const char *why, Retry retry = Retry::No);

    luvaroCard &m_card;
    ReaderPresence m_presence;
    bool m_kept = false;
    bool m_gone = false;
    QDateTime m_openedAt;
    QString m_firmware;
    QTimer m_retry;
    int m_retries = 0;
};
