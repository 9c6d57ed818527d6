#pragma once

// What the emulated libusb hands out behind its opaque pointers.

#include <libusb.h>

#include <deque>
#include <vector>

struct libusb_context
{
    int contexts = 0; // libusb_init calls on the default context

    // Hotplug, as libusb keeps it per context: the callbacks registered, and
    // the events that wait for the next libusb_handle_events* call. eventFd
    // is readable while any wait (libusb_get_pollfds gives it).
    struct HotplugCallback
    {
        libusb_hotplug_callback_handle handle;
        int events;
        int vendor;
        int product;
        int deviceClass;
        libusb_hotplug_callback_fn function;
        void *userData;
        bool removed;
    };
    struct HotplugEvent
    {
        libusb_device *device;
        libusb_hotplug_event event;
    };
    std::vector<HotplugCallback> callbacks;
    std::deque<HotplugEvent> events;
    int eventFd = -1;
    libusb_pollfd pollfd{-1, 0};
};

struct libusb_device
{
    unsigned generation; // which plug-in this is
};

struct libusb_device_handle
{
    libusb_context *context;
    unsigned generation;
};
