// The reader itself: finding and claiming it, closing it, its beep and its
// firmware version.

#include "luvarocard.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint16_t kVendorId = 0x06CE;
constexpr std::uint16_t kProductId = 0xE03F;
constexpr int kInterface = 0;

// The source line the driver has always printed with this message.
constexpr int kDeviceListTraceNumber = 418;

constexpr unsigned char kBeep = 0xB2;
constexpr unsigned char kBeepLength = 0x32;
constexpr unsigned char kVersion = 0x10;

} // namespace

luvaroCard::~luvaroCard()
{
    if (m_handle)
        libusb_close(m_handle);
    if (m_context)
        libusb_exit(m_context);
}

int luvaroCard::luvaro_USB_Open(char *)
{
    // A second open would otherwise leak the first handle, which keeps the
    // interface claimed, and its context.
    if (m_handle) {
        libusb_close(m_handle);
        m_handle = nullptr;
    }
    if (m_context) {
        libusb_exit(m_context);
        m_context = nullptr;
    }

    const int init = libusb_init(&m_context);
    if (init < 0) {
        std::perror("libusb_init");
        m_context = nullptr;
        return init;
    }

    libusb_device **devices = nullptr;
    if (libusb_get_device_list(m_context, &devices) < 0) {
        std::printf("libusb_get_device_list %d\n", kDeviceListTraceNumber);
        std::fflush(stdout);
    }

    m_handle = libusb_open_device_with_vid_pid(m_context, kVendorId, kProductId);
    if (devices)
        libusb_free_device_list(devices, 1);
    if (!m_handle) {
        std::perror("libusb_open_device_with_pid_vid");
        libusb_exit(m_context);
        m_context = nullptr;
        return luvaro::kFailed;
    }

    if (libusb_kernel_driver_active(m_handle, kInterface) == 1)
        libusb_detach_kernel_driver(m_handle, kInterface);

    const int claim = libusb_claim_interface(m_handle, kInterface);
    if (claim < 0) {
        std::perror("libusb_claim_interface");
        libusb_close(m_handle);
        m_handle = nullptr;
        return claim;
    }
    return luvaro::kOk;
}

int luvaroCard::luvaro_USB_Close()
{
    if (m_handle)
        libusb_close(m_handle);
    m_handle = nullptr;
    return luvaro::kOk;
}

int luvaroCard::luvaro_USB_Beep()
{
    if (!m_handle)
        return luvaro::kNotOpen;
    // The answer carries nothing, but a request that never reached the
    // reader is not reported as a beep.
    unsigned char frame[luvaro::kReportSize] = {};
    const int frameLen = luvaro::buildRequest(kBeep, &kBeepLength, 1, frame, sizeof frame);
    if (HidD_SetFeature(m_handle, frame, frameLen) < 0)
        return luvaro::kTransferFailed;
    unsigned char reply[luvaro::kReportSize];
    HidD_GetFeature(m_handle, reply, sizeof reply);
    return luvaro::kOk;
}

int luvaroCard::luvaro_USB_Version(unsigned char *out, int outCapacity)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    if (!out || outCapacity < 1)
        return luvaro::kBadParameter;

    unsigned char reply[luvaro::kReportSize];
    if (exchangeRequest(kVersion, nullptr, 0, reply, ReplyHeader::TagOnly) != luvaro::kOk
        || reply[luvaro::kStatusOffset] != luvaro::kStatusOk)
        return luvaro::kNoValidReply;
    // Byte 0 says only whether the text goes on: anything but 0x82 ends it here.
    if (reply[0] != luvaro::kMarkerMore)
        reply[0] = luvaro::kMarkerLast;

    // A text longer than the buffer is cut; one byte stays for the NUL.
    int copied = 0;
    if (collectPayload(m_handle, reply, luvaro::kHeaderSize, luvaro::replyLength(reply), out,
                       outCapacity - 1, &copied) != luvaro::kOk)
        return luvaro::kNoValidReply;
    out[copied] = '\0';
    return luvaro::kOk;
}
