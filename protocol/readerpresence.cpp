#include "readerpresence.h"

#include <QSocketNotifier>
#include <QTimer>

#include <poll.h>
#include <sys/time.h>

namespace {

// Only where libusb lists no descriptors to wait on.
constexpr int kFallbackPumpMs = 1000;

} // namespace

ReaderPresence::ReaderPresence(std::uint16_t vendor, std::uint16_t product, QObject *parent)
    : QObject(parent)
{
    if (libusb_init(&m_context) < 0) {
        m_context = nullptr;
        qWarning("reader presence: libusb_init failed; an unplugged reader is noticed when it fails");
        return;
    }
    if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
        qInfo("reader presence: libusb has no hotplug events here; an unplugged reader is noticed when it fails");
        return;
    }
    // Enumerated at once: the reader may be there already.
    const int registered = libusb_hotplug_register_callback(
        m_context, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
        LIBUSB_HOTPLUG_ENUMERATE, vendor, product, LIBUSB_HOTPLUG_MATCH_ANY, &ReaderPresence::onHotplug,
        this, &m_callback);
    if (registered != LIBUSB_SUCCESS) {
        qWarning("reader presence: hotplug registration failed (%d)", registered);
        return;
    }
    m_watching = true;
    for (libusb_hotplug_event event : m_events)
        m_present = event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
    m_events.clear();

    libusb_set_pollfd_notifiers(m_context, &ReaderPresence::onPollfdAdded,
                                &ReaderPresence::onPollfdRemoved, this);
    if (const libusb_pollfd **fds = libusb_get_pollfds(m_context)) {
        for (const libusb_pollfd **fd = fds; *fd; ++fd)
            watchDescriptor((*fd)->fd, (*fd)->events);
        libusb_free_pollfds(fds);
    }
    if (m_notifiers.empty()) {
        m_fallbackPump = new QTimer(this);
        connect(m_fallbackPump, &QTimer::timeout, this, &ReaderPresence::pump);
        m_fallbackPump->start(kFallbackPumpMs);
    }
}

ReaderPresence::~ReaderPresence()
{
    if (!m_context)
        return;
    if (m_watching) {
        libusb_set_pollfd_notifiers(m_context, nullptr, nullptr, nullptr);
        libusb_hotplug_deregister_callback(m_context, m_callback);
    }
    // Before libusb closes the descriptors they watch.
    for (const auto &watched : m_notifiers)
        delete watched.second;
    m_notifiers.clear();
    libusb_exit(m_context);
}

void ReaderPresence::watchDescriptor(int fd, short events)
{
    const auto watch = [this, fd](QSocketNotifier::Type type) {
        auto *notifier = new QSocketNotifier(fd, type, this);
        connect(notifier, &QSocketNotifier::activated, this, &ReaderPresence::pump);
        m_notifiers.emplace(fd, notifier);
    };
    if (events & POLLIN)
        watch(QSocketNotifier::Read);
    if (events & POLLOUT)
        watch(QSocketNotifier::Write);
}

void ReaderPresence::onPollfdAdded(int fd, short events, void *self)
{
    static_cast<ReaderPresence *>(self)->watchDescriptor(fd, events);
}

void ReaderPresence::onPollfdRemoved(int fd, void *self)
{
    auto *presence = static_cast<ReaderPresence *>(self);
    const auto [first, last] = presence->m_notifiers.equal_range(fd);
    for (auto it = first; it != last; ++it) {
        it->second->setEnabled(false);
        it->second->deleteLater(); // may be the one whose signal runs now
    }
    presence->m_notifiers.erase(first, last);
}

int ReaderPresence::onHotplug(libusb_context *, libusb_device *, libusb_hotplug_event event, void *self)
{
    // Only noted: libusb is inside its event handling here.
    static_cast<ReaderPresence *>(self)->m_events.push_back(event);
    return 0;
}

void ReaderPresence::pump()
{
    if (!m_watching || m_pumping)
        return;
    m_pumping = true;
    timeval now{0, 0};
    libusb_handle_events_timeout_completed(m_context, &now, nullptr);
    m_pumping = false;
    // A slot may pump again: what it delivers is its own.
    std::vector<libusb_hotplug_event> events;
    events.swap(m_events);
    for (libusb_hotplug_event event : events) {
        m_present = event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
        if (m_present)
            emit arrived();
        else
            emit left();
    }
}
