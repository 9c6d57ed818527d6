#include "usbdescriptors.h"

#include <string>

namespace dorvent::vusb::descriptors {
namespace {

constexpr std::uint8_t lo(std::uint16_t v) { return std::uint8_t(v & 0xFF); }
constexpr std::uint8_t hi(std::uint16_t v) { return std::uint8_t(v >> 8); }

// The texts the device names itself with; a virtual device says so.
const char *const kStrings[] = {
    nullptr, // the language list
    "Luvaro",
    "Dorvent card reader (virtual)",
    "DORVENT-VREADER-1",
};

constexpr std::uint8_t kStringCount = sizeof kStrings / sizeof kStrings[0];

} // namespace

const Bytes &device()
{
    static const Bytes d = {
        18, kDevice,
        0x10, 0x01, // USB 1.1: full speed only, so no qualifier is asked for
        0x00, 0x00, 0x00, // class per interface
        kMaxPacketSize0,
        lo(kVendorId), hi(kVendorId),
        lo(kProductId), hi(kProductId),
        lo(kDeviceRelease), hi(kDeviceRelease),
        1, 2, 3, // maker, product, serial number strings
        1,       // one configuration
    };
    return d;
}

const Bytes &report()
{
    static const Bytes r = {
        0x06, 0x00, 0xFF, // Usage Page (vendor 0xFF00)
        0x09, 0x01,       // Usage (1)
        0xA1, 0x01,       // Collection (Application)
        0x15, 0x00,       //   Logical Minimum (0)
        0x26, 0xFF, 0x00, //   Logical Maximum (255)
        0x75, 0x08,       //   Report Size (8)
        0x95, 0x20,       //   Report Count (32)
        0x09, 0x01,       //   Usage (1)
        0xB1, 0x02,       //   Feature (Data, Variable, Absolute)
        0xC0,             // End Collection
    };
    return r;
}

Bytes hid()
{
    const std::uint16_t reportLength = std::uint16_t(report().size());
    return {9, kHid, 0x11, 0x01, // HID 1.11
            0x00,                // no country
            1, kReport, lo(reportLength), hi(reportLength)};
}

const Bytes &configuration()
{
    static const Bytes c = [] {
        Bytes interface = {9, 0x04, kInterfaceNumber, 0, 1, kHidClass, 0x00, 0x00, 0};
        Bytes endpoint = {7, 0x05, kInterruptEndpoint, 0x03 /* interrupt */,
                          lo(kInterruptMaxPacket), hi(kInterruptMaxPacket), kInterruptInterval};
        Bytes body = interface;
        const Bytes h = hid();
        body.insert(body.end(), h.begin(), h.end());
        body.insert(body.end(), endpoint.begin(), endpoint.end());
        const std::uint16_t total = std::uint16_t(9 + body.size());
        Bytes block = {9, kConfiguration, lo(total), hi(total),
                       1, // one interface
                       kConfigurationValue,
                       0,    // no configuration string
                       0x80, // bus-powered
                       50};  // 100 mA
        block.insert(block.end(), body.begin(), body.end());
        return block;
    }();
    return c;
}

Bytes string(std::uint8_t index, std::uint16_t language)
{
    if (index == 0)
        return {4, kString, lo(kLanguage), hi(kLanguage)};
    if (index >= kStringCount || language != kLanguage)
        return {};
    // UTF-16LE; the texts are ASCII.
    const std::string text = kStrings[index];
    Bytes s = {std::uint8_t(2 + 2 * text.size()), kString};
    for (char c : text) {
        s.push_back(std::uint8_t(c));
        s.push_back(0);
    }
    return s;
}

} // namespace dorvent::vusb::descriptors
