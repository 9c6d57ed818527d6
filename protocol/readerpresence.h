#pragma once

#include <libusb.h>

#include <QObject>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

class QSocketNotifier;
class QTimer;

// Whether the reader is on the USB bus, from libusb's hotplug events in a
// context of our own (the driver's context is made anew at every open).
// libusb delivers the events only inside libusb_handle_events*: its file
// descriptors are watched on the Qt event loop and the events handled
// without waiting when one turns readable, so nothing runs on another
// thread and nothing polls while the reader stays put.
class ReaderPresence : public QObject
{
    Q_OBJECT
public:
    ReaderPresence(std::uint16_t vendor, std::uint16_t product, QObject *parent = nullptr);
    ~ReaderPresence() override;

    // False where libusb has no hotplug events: then only a handle that
    // answers "no device" tells that the reader left.
    bool watching() const { return m_watching; }
    // What the last event said (meaningful only while watching).
    bool present() const { return m_present; }
    // Handles the events that wait, now, and signals what they said.
    void pump();

signals:
    void arrived();
    void left();

private:
    static int LIBUSB_CALL onHotplug(libusb_context *, libusb_device *, libusb_hotplug_event event,
                                     void *self);
    static void LIBUSB_CALL onPollfdAdded(int fd, short events, void *self);
    static void LIBUSB_CALL onPollfdRemoved(int fd, void *self);
    void watchDescriptor(int fd, short events);

    libusb_context *m_context = nullptr;
    libusb_hotplug_callback_handle m_callback = 0;
    bool m_watching = false;
    bool m_present = false;
    bool m_pumping = false;
    std::vector<libusb_hotplug_event> m_events; // collected in a pump, signalled after it
    // libusb's descriptors and their notifiers (children), by descriptor.
    std::multimap<int, QSocketNotifier *> m_notifiers;
    QTimer *m_fallbackPump = nullptr; // where libusb gives no descriptors
};
