// libusb's hotplug API as the real library behaves on Linux: events are
// queued per context when the reader is plugged in or unplugged, a file
// descriptor from libusb_get_pollfds() turns readable, and the callbacks run
// inside libusb_handle_events*, where a callback returning 1 is deregistered.
// LIBUSB_HOTPLUG_ENUMERATE calls back at registration for a reader already
// there. Nothing runs on a thread of its own.

#include "emulatedreader.h"
#include "libusb_objects.h"

#include <algorithm>
#include <cstdint>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace dorvent::emulator {
namespace {

constexpr int kKnownEvents = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
// The reader declares its class per interface (HID), so its device class is 0.
constexpr int kDeviceClass = 0;

bool matchesId(int wanted, int id) { return wanted == LIBUSB_HOTPLUG_MATCH_ANY || wanted == id; }

bool validId(int id) { return id == LIBUSB_HOTPLUG_MATCH_ANY || (id >= 0 && id <= 0xFFFF); }

} // namespace

libusb_context *EmulatedReader::newContext()
{
    auto *context = new libusb_context;
    context->eventFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    context->pollfd = libusb_pollfd{context->eventFd, POLLIN};
    m_contexts.push_back(context);
    return context;
}

void EmulatedReader::deleteContext(libusb_context *context)
{
    if (!context)
        return;
    m_contexts.erase(std::remove(m_contexts.begin(), m_contexts.end(), context), m_contexts.end());
    if (context->eventFd >= 0)
        ::close(context->eventFd);
    delete context;
}

int EmulatedReader::hasCapability(std::uint32_t capability) const
{
    switch (capability) {
    case LIBUSB_CAP_HAS_CAPABILITY:
        return 1;
    case LIBUSB_CAP_HAS_HOTPLUG:
        return m_hotplug ? 1 : 0;
    default:
        return 0;
    }
}

void EmulatedReader::queueHotplug(libusb_hotplug_event event)
{
    libusb_device *device = m_devices.back().get();
    for (libusb_context *context : m_contexts) {
        // A context without callbacks keeps nothing (the driver's own).
        if (std::none_of(context->callbacks.begin(), context->callbacks.end(),
                         [](const libusb_context::HotplugCallback &c) { return !c.removed; }))
            continue;
        context->events.push_back({device, event});
        const std::uint64_t one = 1;
        if (context->eventFd >= 0 && ::write(context->eventFd, &one, sizeof one) < 0) {
            // A full counter is still readable: the event is not lost.
        }
    }
}

int EmulatedReader::pendingHotplugEvents() const
{
    int pending = 0;
    for (const libusb_context *context : m_contexts)
        pending += static_cast<int>(context->events.size());
    return pending;
}

int EmulatedReader::registerHotplug(libusb_context *context, int events, int flags, int vendor,
                                    int product, int deviceClass, libusb_hotplug_callback_fn function,
                                    void *userData, libusb_hotplug_callback_handle *handle)
{
    if (!m_hotplug)
        return LIBUSB_ERROR_NOT_SUPPORTED;
    // The default context is not emulated: the driver always makes its own.
    if (!context || !function || events == 0 || (events & ~kKnownEvents) || !validId(vendor)
        || !validId(product) || !validId(deviceClass))
        return LIBUSB_ERROR_INVALID_PARAM;

    const bool forUs = matchesId(vendor, kVendorId) && matchesId(product, kProductId)
                       && matchesId(deviceClass, kDeviceClass);
    const libusb_hotplug_callback_handle id = m_nextCallback++;
    if (handle)
        *handle = id;
    if ((flags & LIBUSB_HOTPLUG_ENUMERATE) && (events & LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) && forUs
        && m_plugged
        && function(context, m_devices.back().get(), LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, userData))
        return LIBUSB_SUCCESS; // finished at once: never armed
    context->callbacks.push_back({id, events, vendor, product, deviceClass, function, userData, false});
    return LIBUSB_SUCCESS;
}

void EmulatedReader::deregisterHotplug(libusb_context *context, libusb_hotplug_callback_handle handle)
{
    if (!context)
        return;
    // Marked only: this may run inside a callback of the same context.
    for (libusb_context::HotplugCallback &callback : context->callbacks)
        if (callback.handle == handle)
            callback.removed = true;
}

int EmulatedReader::handleEvents(libusb_context *context)
{
    if (!context)
        return LIBUSB_ERROR_INVALID_PARAM;
    std::uint64_t count = 0;
    if (context->eventFd >= 0 && ::read(context->eventFd, &count, sizeof count) < 0) {
        // Nothing was signalled: there may still be nothing to do.
    }
    // Events a callback causes (a callback that unplugs) wait for the next call.
    std::deque<libusb_context::HotplugEvent> events;
    events.swap(context->events);
    for (const libusb_context::HotplugEvent &event : events) {
        // By index: a callback may register another.
        for (std::size_t i = 0; i < context->callbacks.size(); ++i) {
            const libusb_context::HotplugCallback callback = context->callbacks[i];
            if (callback.removed || !(callback.events & event.event)
                || !matchesId(callback.vendor, kVendorId) || !matchesId(callback.product, kProductId)
                || !matchesId(callback.deviceClass, kDeviceClass))
                continue;
            if (callback.function(context, event.device, event.event, callback.userData))
                context->callbacks[i].removed = true;
        }
    }
    auto &callbacks = context->callbacks;
    callbacks.erase(std::remove_if(callbacks.begin(), callbacks.end(),
                                   [](const libusb_context::HotplugCallback &c) { return c.removed; }),
                    callbacks.end());
    return LIBUSB_SUCCESS;
}

const libusb_pollfd **EmulatedReader::pollfds(libusb_context *context)
{
    if (!context || context->eventFd < 0)
        return nullptr;
    return new const libusb_pollfd *[2]{&context->pollfd, nullptr};
}

void EmulatedReader::freePollfds(const libusb_pollfd **list)
{
    delete[] list;
}

} // namespace dorvent::emulator
