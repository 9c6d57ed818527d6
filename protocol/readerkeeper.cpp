#include "readerkeeper.h"

#include "luvarocard.h"

namespace {

constexpr std::uint16_t kVendorId = 0x06CE;
constexpr std::uint16_t kProductId = 0xE03F;
constexpr int kInterface = 0;

} // namespace

ReaderKeeper::ReaderKeeper(luvaroCard &card, QObject *parent)
    : QObject(parent), m_card(card), m_presence(kVendorId, kProductId)
{
    connect(&m_presence, &ReaderPresence::arrived, this, &ReaderKeeper::onArrived);
    connect(&m_presence, &ReaderPresence::left, this, &ReaderKeeper::onLeft);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, [this] {
        if (m_kept && m_gone && m_presence.present())
            reopen("tried again", Retry::Later);
    });
}

void ReaderKeeper::opened()
{
    m_kept = true;
    m_gone = false;
    m_retry.stop();
    m_retries = 0;
    m_openedAt = QDateTime::currentDateTimeUtc();
    m_firmware.clear();
}

void ReaderKeeper::closed()
{
    m_kept = false;
    m_gone = false;
    m_retry.stop();
}

bool ReaderKeeper::ready()
{
    if (!m_kept)
        return true;
    m_presence.pump();
    if (!m_gone && handleDead())
        markGone("its handle answers no device");
    // Without hotplug events only an attempt tells whether it is back.
    if (m_gone && (!m_presence.watching() || m_presence.present()))
        reopen("found at a request");
    return !m_gone;
}

bool ReaderKeeper::hasLeft()
{
    if (!m_kept)
        return false;
    // Not pumped: a reader back already is opened again after this reply,
    // which must still say that the request met no reader. The request
    // failing is the one that would end, so no signal.
    // The handle is asked, not only the last transfer's error: that one may
    // be older than the handle.
    if (!m_gone && handleDead())
        markGone(luvaroCard::lastTransferError() == LIBUSB_ERROR_NO_DEVICE
                     ? "a transfer failed with no device"
                     : "a request failed on a handle that answers no device",
                 Notify::No);
    return m_gone;
}

void ReaderKeeper::renew()
{
    if (m_kept)
        reopen("the system resumed");
}

std::optional<bool> ReaderKeeper::present()
{
    m_presence.pump();
    if (m_kept)
        return !m_gone;
    if (m_presence.watching())
        return m_presence.present();
    return std::nullopt;
}

void ReaderKeeper::onArrived()
{
    if (!m_kept)
        return;
    // An arrival without a departure seen first (events may come in pairs
    // late, or for another reader of the same kind): only a dead handle counts.
    if (!m_gone && handleDead())
        markGone("replugged");
    if (m_gone) {
        m_retries = 0;
        reopen("plugged in again", Retry::Later);
    }
}

void ReaderKeeper::onLeft()
{
    if (m_kept && !m_gone && handleDead())
        markGone("unplugged");
}

bool ReaderKeeper::handleDead() const
{
    // Asks the kernel about the interface: no transfer, and "no device" once
    // the reader has left, whatever happened since.
    libusb_device_handle *handle = m_card.handle();
    return !handle || libusb_kernel_driver_active(handle, kInterface) == LIBUSB_ERROR_NO_DEVICE;
}

void ReaderKeeper::markGone(const char *why, Notify notify)
{
    m_gone = true;
    m_card.luvaro_USB_Close(); // the dead handle's file is of no more use
    qInfo("reader gone (%s): requests answer %d until it is back", why, luvaro::kReaderGone);
    if (notify == Notify::Yes)
        emit readerLeft();
}

bool ReaderKeeper::reopen(const char *why, Retry retry)
{
    char port[] = "USB";
    const int result = m_card.luvaro_USB_Open(port); // closes the old handle first
    if (result != luvaro::kOk) {
        m_gone = true;
        if (retry == Retry::Later && m_retries < kMaxRetries) {
            ++m_retries;
            m_retry.start(kRetryMs);
        }
        qInfo("reader not opened again (%s): %d", why, result);
        return false;
    }
    m_gone = false;
    m_retries = 0;
    m_retry.stop();
    m_openedAt = QDateTime::currentDateTimeUtc();
    m_firmware.clear();
    qInfo("reader opened again (%s)", why);
    return true;
}
