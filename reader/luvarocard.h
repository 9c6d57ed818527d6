#pragma once

#include <libusb.h>

// The reader driver: one object per service, holding the open reader's libusb
// handle (null while closed) and the context it was opened in.
class luvaroCard
{
public:
    luvaroCard() = default;
    luvaroCard(const luvaroCard &) = delete;
    luvaroCard &operator=(const luvaroCard &) = delete;

private:
    libusb_device_handle *m_handle = nullptr;
    libusb_context *m_context = nullptr;
};
