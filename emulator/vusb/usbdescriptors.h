#pragma once

#include <cstdint>
#include <vector>

namespace dorvent::vusb {

using Bytes = std::vector<std::uint8_t>;

// What the reader tells a USB host about itself: a full-speed device with
// one configuration holding one HID interface. The HID interface carries an
// interrupt IN endpoint because the class requires one; the reader never
// sends on it. Everything the driver does goes through the 32-byte feature
// report on endpoint 0.
namespace descriptors {

constexpr std::uint16_t kVendorId = 0x06CE;
constexpr std::uint16_t kProductId = 0xE03F;
constexpr std::uint16_t kDeviceRelease = 0x0100;
constexpr std::uint8_t kMaxPacketSize0 = 64;
constexpr std::uint8_t kConfigurationValue = 1;
constexpr std::uint8_t kInterfaceNumber = 0;
constexpr std::uint8_t kHidClass = 0x03;
constexpr std::uint8_t kInterruptEndpoint = 0x81;
constexpr std::uint16_t kInterruptMaxPacket = 32;
constexpr std::uint8_t kInterruptInterval = 10; // ms, full speed
constexpr std::uint16_t kLanguage = 0x0409;     // English (US)

// Descriptor types (high byte of GET_DESCRIPTOR's wValue).
constexpr std::uint8_t kDevice = 0x01;
constexpr std::uint8_t kConfiguration = 0x02;
constexpr std::uint8_t kString = 0x03;
constexpr std::uint8_t kHid = 0x21;
constexpr std::uint8_t kReport = 0x22;

const Bytes &device();
// Configuration, interface, HID and endpoint descriptors, as one block.
const Bytes &configuration();
// The HID descriptor alone (as within the configuration).
Bytes hid();
// One vendor-defined application collection with a 32-byte feature report
// and no report ID.
const Bytes &report();
// Index 0 is the language list; 1 maker, 2 product, 3 serial number.
// Empty for an index the device does not have.
Bytes string(std::uint8_t index, std::uint16_t language);

} // namespace descriptors
} // namespace dorvent::vusb
