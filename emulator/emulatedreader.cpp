#include "emulatedreader.h"

#include "libusb_objects.h"

#include <libusb.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace dorvent::emulator {
namespace {

// The only requests the reader takes: HID SET_REPORT / GET_REPORT with the
// report words it answers to, 32 bytes, interface 0.
constexpr std::uint8_t kSetReportRequestType = 0x21;
constexpr std::uint8_t kGetReportRequestType = 0xA1;
constexpr std::uint8_t kSetReport = 0x09;
constexpr std::uint8_t kGetReport = 0x01;
constexpr std::uint16_t kSetReportValue = 0x0000;
constexpr std::uint16_t kGetReportValue = 0x3000;
constexpr int kInterface = 0;

} // namespace

EmulatedReader &EmulatedReader::instance()
{
    // Never destroyed: handles may outlive any static destructor order.
    static EmulatedReader *reader = new EmulatedReader;
    return *reader;
}

EmulatedReader::EmulatedReader()
{
    m_devices.push_back(std::make_unique<libusb_device>(libusb_device{m_generation}));
}

void EmulatedReader::reset()
{
    unplug();
    m_firmware.reset();
    m_unplugCountdown = -1;
    m_busyFetches = 0;
    m_injected.clear();
    m_nextInjected = 0;
    m_latency = std::chrono::microseconds(0);
    m_initError = 0;
    m_heldElsewhere = false;
    m_log.clear();
    plug();
}

void EmulatedReader::plug()
{
    if (m_plugged)
        return;
    m_plugged = true;
    ++m_generation;
    m_devices.push_back(std::make_unique<libusb_device>(libusb_device{m_generation}));
    m_kernelDriver = true; // the HID driver binds to the new device
    m_claimedBy = nullptr;
    queueHotplug(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    if (m_plugObserver)
        m_plugObserver(true);
}

void EmulatedReader::unplug()
{
    if (!m_plugged)
        return;
    m_plugged = false;
    m_claimedBy = nullptr;
    m_unplugCountdown = -1;
    m_firmware.powerLost();
    queueHotplug(LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
    if (m_plugObserver)
        m_plugObserver(false);
}

void EmulatedReader::unplugAfterTransfers(int n)
{
    if (n <= 0)
        unplug();
    else
        m_unplugCountdown = n;
}

void EmulatedReader::injectReplyReports(const std::vector<Report> &reports)
{
    m_injected.erase(m_injected.begin(), m_injected.begin() + m_nextInjected);
    m_nextInjected = 0;
    m_injected.insert(m_injected.end(), reports.begin(), reports.end());
}

void EmulatedReader::clearLog()
{
    m_log.clear();
    m_firmware.clearRequestFrames();
}

std::vector<Report> EmulatedReader::sentReports() const
{
    std::vector<Report> reports;
    for (const Transfer &t : m_log) {
        if (t.isSetReport() && t.result > 0)
            reports.push_back(t.data);
    }
    return reports;
}

bool EmulatedReader::alive(const libusb_device_handle *handle) const
{
    return m_plugged && handle && handle->generation == m_generation;
}

int EmulatedReader::init(libusb_context **context)
{
    if (m_initError)
        return m_initError;
    if (context)
        *context = newContext();
    return LIBUSB_SUCCESS;
}

void EmulatedReader::exit(libusb_context *context)
{
    deleteContext(context);
}

long EmulatedReader::deviceList(libusb_context *, libusb_device ***list)
{
    if (!list)
        return LIBUSB_ERROR_INVALID_PARAM;
    const long count = m_plugged ? 1 : 0;
    *list = new libusb_device *[count + 1];
    if (m_plugged)
        (*list)[0] = m_devices.back().get();
    (*list)[count] = nullptr;
    return count;
}

void EmulatedReader::freeDeviceList(libusb_device **list)
{
    delete[] list;
}

libusb_device_handle *EmulatedReader::open(libusb_context *context, std::uint16_t vendor,
                                           std::uint16_t product)
{
    if (!m_plugged || vendor != kVendorId || product != kProductId)
        return nullptr;
    auto *handle = new libusb_device_handle{context, m_generation};
    m_handles.push_back(handle);
    return handle;
}

void EmulatedReader::close(libusb_device_handle *handle)
{
    const auto it = std::find(m_handles.begin(), m_handles.end(), handle);
    if (it == m_handles.end())
        return;
    // Closing gives up the handle's claim, as the kernel does for a closed file.
    if (m_claimedBy == handle)
        m_claimedBy = nullptr;
    m_handles.erase(it);
    delete handle;
}

int EmulatedReader::kernelDriverActive(libusb_device_handle *handle, int interface)
{
    if (!alive(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    if (interface != kInterface)
        return LIBUSB_ERROR_NOT_FOUND;
    return m_kernelDriver ? 1 : 0;
}

int EmulatedReader::detachKernelDriver(libusb_device_handle *handle, int interface)
{
    if (!alive(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    if (interface != kInterface)
        return LIBUSB_ERROR_NOT_FOUND;
    if (!m_kernelDriver)
        return LIBUSB_ERROR_NOT_FOUND;
    m_kernelDriver = false;
    return LIBUSB_SUCCESS;
}

int EmulatedReader::claim(libusb_device_handle *handle, int interface)
{
    if (!alive(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    if (interface != kInterface)
        return LIBUSB_ERROR_NOT_FOUND;
    if (m_claimedBy == handle)
        return LIBUSB_SUCCESS;
    if (m_kernelDriver || m_claimedBy || m_heldElsewhere)
        return LIBUSB_ERROR_BUSY;
    m_claimedBy = handle;
    return LIBUSB_SUCCESS;
}

int EmulatedReader::release(libusb_device_handle *handle, int interface)
{
    if (!alive(handle))
        return LIBUSB_ERROR_NO_DEVICE;
    if (interface != kInterface || m_claimedBy != handle)
        return LIBUSB_ERROR_NOT_FOUND;
    m_claimedBy = nullptr;
    return LIBUSB_SUCCESS;
}

int EmulatedReader::controlTransfer(libusb_device_handle *handle, std::uint8_t requestType,
                                    std::uint8_t request, std::uint16_t value,
                                    std::uint16_t index, unsigned char *data,
                                    std::uint16_t length, unsigned timeoutMs)
{
    if (m_latency.count() > 0)
        std::this_thread::sleep_for(m_latency);

    Transfer record;
    record.requestType = requestType;
    record.request = request;
    record.value = value;
    record.index = index;
    record.length = length;
    record.timeoutMs = timeoutMs;
    record.result = transfer(handle, record, data);
    m_log.push_back(record);
    // Trimmed in batches: erasing one at a time would copy the whole log per transfer.
    if (m_logLimit && m_log.size() >= 2 * m_logLimit) {
        m_log.erase(m_log.begin(), m_log.end() - static_cast<std::ptrdiff_t>(m_logLimit));
        m_firmware.keepLastRequestFrames(m_logLimit);
    }

    if (m_unplugCountdown > 0 && --m_unplugCountdown == 0)
        unplug();
    return record.result;
}

int EmulatedReader::transfer(libusb_device_handle *handle, Transfer &record, unsigned char *data)
{
    if (!handle || !data)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (!alive(handle))
        return LIBUSB_ERROR_NO_DEVICE;

    const bool set = record.requestType == kSetReportRequestType && record.request == kSetReport
                     && record.value == kSetReportValue;
    const bool get = record.requestType == kGetReportRequestType && record.request == kGetReport
                     && record.value == kGetReportValue;
    // Anything else, or on an interface this handle has not claimed, stalls.
    if ((!set && !get) || record.index != kInterface || record.length != kReportSize
        || m_claimedBy != handle)
        return LIBUSB_ERROR_PIPE;

    if (m_transferAnswer) {
        if (set)
            std::memcpy(record.data.data(), data, kReportSize);
        const int result = m_transferAnswer(record, data);
        if (get && result == int(kReportSize))
            std::memcpy(record.data.data(), data, kReportSize);
        return result;
    }

    if (set) {
        std::memcpy(record.data.data(), data, kReportSize);
        m_firmware.receiveReport(record.data);
        return kReportSize;
    }

    Report report;
    if (m_busyFetches > 0) {
        --m_busyFetches;
        report = Report{0x02, 0x02, status::kBusy, 0x00, 0x00, 0x02 ^ status::kBusy};
    } else if (m_nextInjected < m_injected.size()) {
        report = m_injected[m_nextInjected++];
    } else {
        report = m_firmware.nextReport();
    }
    record.data = report;
    std::memcpy(data, report.data(), kReportSize);
    return kReportSize;
}

} // namespace dorvent::emulator
