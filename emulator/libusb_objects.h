#pragma once

// What the emulated libusb hands out behind its opaque pointers.

struct libusb_context
{
    int contexts = 0; // libusb_init calls on the default context
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
