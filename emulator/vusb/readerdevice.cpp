#include "readerdevice.h"

#include <libusb.h>

#include <algorithm>
#include <cinttypes>

namespace dorvent::vusb {
namespace {

// bmRequestType fields.
constexpr std::uint8_t kTypeMask = 0x60;
constexpr std::uint8_t kStandard = 0x00;
constexpr std::uint8_t kClass = 0x20;
constexpr std::uint8_t kRecipientMask = 0x1F;
constexpr std::uint8_t kToDevice = 0x00;
constexpr std::uint8_t kToInterface = 0x01;
constexpr std::uint8_t kToEndpoint = 0x02;

// Standard requests.
constexpr std::uint8_t kGetStatus = 0x00;
constexpr std::uint8_t kClearFeature = 0x01;
constexpr std::uint8_t kSetFeature = 0x03;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kGetConfiguration = 0x08;
constexpr std::uint8_t kSetConfiguration = 0x09;
constexpr std::uint8_t kGetInterface = 0x0A;
constexpr std::uint8_t kSetInterface = 0x0B;

// What a forwarded request may wait for the firmware, as the driver does.
constexpr unsigned kTransferTimeoutMs = 1000;

ControlResult stall()
{
    return ControlResult{true, {}};
}

ControlResult answer(Bytes data, std::uint16_t length)
{
    if (data.size() > length)
        data.resize(length);
    return ControlResult{false, std::move(data)};
}

} // namespace

std::string Setup::text() const
{
    char line[32];
    std::snprintf(line, sizeof line, "%02X/%02X/%04X/%04X/%u", requestType, request, value, index,
                  unsigned(length));
    return line;
}

ReaderDevice::~ReaderDevice()
{
    detach();
    if (m_context)
        libusb_exit(m_context);
}

bool ReaderDevice::attach()
{
    detach();
    m_configuration = 0;
    if (!m_context && libusb_init(&m_context) < 0) {
        m_context = nullptr;
        return false;
    }
    m_handle = libusb_open_device_with_vid_pid(m_context, descriptors::kVendorId, descriptors::kProductId);
    if (!m_handle)
        return false;
    // The emulated reader models a host whose HID driver holds the interface;
    // here the host is across the wire, and this side only passes requests on.
    if (libusb_kernel_driver_active(m_handle, descriptors::kInterfaceNumber) == 1)
        libusb_detach_kernel_driver(m_handle, descriptors::kInterfaceNumber);
    if (libusb_claim_interface(m_handle, descriptors::kInterfaceNumber) < 0) {
        detach();
        return false;
    }
    return true;
}

void ReaderDevice::detach()
{
    if (m_handle)
        libusb_close(m_handle);
    m_handle = nullptr;
}

ControlResult ReaderDevice::control(const Setup &setup, const Bytes &out)
{
    ControlResult result;
    switch (setup.requestType & kTypeMask) {
    case kStandard:
        result = standardRequest(setup);
        break;
    case kClass:
        result = (setup.requestType & kRecipientMask) == kToInterface ? classRequest(setup, out) : stall();
        break;
    default:
        result = stall();
    }
    log(setup, result.stalled);
    return result;
}

ControlResult ReaderDevice::standardRequest(const Setup &s)
{
    const std::uint8_t recipient = s.requestType & kRecipientMask;
    const bool configured = m_configuration != 0;
    switch (s.request) {
    case kGetStatus:
        // Bus-powered, no remote wake-up, no halted endpoint.
        return s.in() ? answer({0, 0}, s.length) : stall();
    case kClearFeature:
    case kSetFeature:
        return !s.in() && (recipient == kToDevice || recipient == kToEndpoint) ? ControlResult{} : stall();
    case kGetDescriptor: {
        if (!s.in())
            return stall();
        const std::uint8_t type = std::uint8_t(s.value >> 8);
        const std::uint8_t index = std::uint8_t(s.value & 0xFF);
        if (recipient == kToDevice) {
            if (type == descriptors::kDevice && index == 0)
                return answer(descriptors::device(), s.length);
            if (type == descriptors::kConfiguration && index == 0)
                return answer(descriptors::configuration(), s.length);
            if (type == descriptors::kString) {
                Bytes text = descriptors::string(index, s.index);
                return text.empty() ? stall() : answer(std::move(text), s.length);
            }
        } else if (recipient == kToInterface && s.index == descriptors::kInterfaceNumber) {
            if (type == descriptors::kReport)
                return answer(descriptors::report(), s.length);
            if (type == descriptors::kHid)
                return answer(descriptors::hid(), s.length);
        }
        return stall();
    }
    case kGetConfiguration:
        return s.in() ? answer({m_configuration}, s.length) : stall();
    case kSetConfiguration:
        return !s.in() && recipient == kToDevice && setConfiguration(std::uint8_t(s.value)) ? ControlResult{} : stall();
    case kGetInterface: {
        const int alt = configured ? altSetting(std::uint8_t(s.index)) : -1;
        return s.in() && alt >= 0 ? answer({std::uint8_t(alt)}, s.length) : stall();
    }
    case kSetInterface:
        return !s.in() && setAltSetting(std::uint8_t(s.index), std::uint8_t(s.value)) ? ControlResult{} : stall();
    default:
        return stall();
    }
}

ControlResult ReaderDevice::classRequest(const Setup &s, const Bytes &out)
{
    if (!m_handle)
        return stall();
    // The firmware model checks request, value, index and length itself.
    Bytes buffer(std::max<std::size_t>(s.length, 1), 0);
    if (!s.in())
        std::copy_n(out.begin(), std::min(out.size(), std::size_t(s.length)), buffer.begin());
    const int moved = libusb_control_transfer(m_handle, s.requestType, s.request, s.value, s.index,
                                              buffer.data(), s.length, kTransferTimeoutMs);
    if (moved < 0)
        return stall();
    if (!s.in())
        return {};
    buffer.resize(std::min<std::size_t>(std::size_t(moved), s.length));
    return ControlResult{false, std::move(buffer)};
}

bool ReaderDevice::setConfiguration(std::uint8_t value)
{
    const bool known = value == 0 || value == descriptors::kConfigurationValue;
    if (known)
        m_configuration = value;
    log(Setup{0x00, kSetConfiguration, value, 0, 0}, !known);
    return known;
}

bool ReaderDevice::setAltSetting(std::uint8_t interface, std::uint8_t alt)
{
    // One interface with one setting.
    const bool known = m_configuration != 0 && interface == descriptors::kInterfaceNumber && alt == 0;
    log(Setup{0x01, kSetInterface, alt, interface, 0}, !known);
    return known;
}

int ReaderDevice::altSetting(std::uint8_t interface) const
{
    return m_configuration != 0 && interface == descriptors::kInterfaceNumber ? 0 : -1;
}

std::vector<std::string> ReaderDevice::takeSetups()
{
    std::vector<std::string> taken;
    taken.swap(m_setups);
    return taken;
}

void ReaderDevice::log(const Setup &setup, bool stalled)
{
    std::string line = setup.text() + (stalled ? " stall" : " ok");
    if (m_logFile) {
        std::fprintf(m_logFile, "%s\n", line.c_str());
        std::fflush(m_logFile);
    }
    if (m_setups.size() >= kMaxKeptSetups)
        m_setups.erase(m_setups.begin(), m_setups.begin() + kMaxKeptSetups / 2);
    m_setups.push_back(std::move(line));
}

} // namespace dorvent::vusb
