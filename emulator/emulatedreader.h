#pragma once

#include "firmware.h"

#include <libusb.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <utility>
#include <memory>
#include <vector>

namespace dorvent::emulator {

// One control transfer as the reader's USB side saw it.
struct Transfer
{
    std::uint8_t requestType = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
    unsigned timeoutMs = 0;
    Report data{}; // the report sent (SET) or answered (GET); zeros when the transfer failed
    int result = 0; // bytes moved, or the libusb error code

    bool isSetReport() const { return requestType == 0x21 && request == 0x09; }
    bool isGetReport() const { return requestType == 0xA1 && request == 0x01; }
};

// The emulated reader 0x06CE:0xE03F: the device behind the libusb calls the
// driver makes, its firmware and the cards in and on it, plus the controls
// tests use to make it misbehave. One per process (the libusb API is global);
// single-threaded and deterministic.
class EmulatedReader
{
public:
    static constexpr std::uint16_t kVendorId = 0x06CE;
    static constexpr std::uint16_t kProductId = 0xE03F;

    static EmulatedReader &instance();

    // A new reader just plugged in: empty deck, no faults, empty log, no
    // latency. Handles opened before are dead (as after an unplug).
    void reset();

    // ---- Plugging ----
    void plug();   // no effect while plugged in
    void unplug(); // open handles fail from now on, even after a new plug
    bool isPlugged() const { return m_plugged; }
    // The reader disappears right after the next n control transfers
    // (n = 1: the next transfer works, the one after fails).
    void unplugAfterTransfers(int n);
    // Told of every plug and unplug, whoever caused it (the virtual USB
    // device follows them on its bus). Survives reset().
    void setPlugObserver(std::function<void(bool plugged)> observer) { m_plugObserver = std::move(observer); }

    // ---- Hotplug (hotplug.cpp) ----
    // Plugging and unplugging queue libusb's hotplug events in every context;
    // callbacks run only inside libusb_handle_events*, as with the real
    // library, never from elsewhere. Whether libusb_has_capability() reports
    // hotplug (true by default, as on Linux; survives reset()).
    void setHotplugCapability(bool supported) { m_hotplug = supported; }
    bool hasHotplugCapability() const { return m_hotplug; }
    // Events queued and not yet handled, every context together.
    int pendingHotplugEvents() const;

    // ---- Faults ----
    // The next n fetches answer busy (status 0x16); queued replies wait.
    void busyForFetches(int n) { m_busyFetches = n; }
    // Fetches answer these reports verbatim, in order, before anything the
    // firmware queued; a new request does not drop them.
    void injectReplyReports(const std::vector<Report> &reports);
    // Every control transfer takes this long (0 by default; about 1 ms is a
    // full-speed USB frame).
    void setLatency(std::chrono::microseconds latency) { m_latency = latency; }
    // libusb_init fails with this code (0: works).
    void setInitError(int code) { m_initError = code; }
    // Another program holds interface 0: claims fail with LIBUSB_ERROR_BUSY.
    void setInterfaceHeldElsewhere(bool held) { m_heldElsewhere = held; }

    // ---- Answered from elsewhere ----
    // Every report transfer the reader takes (a SET_REPORT or GET_REPORT on
    // its claimed interface) goes to this function instead of the firmware
    // and the faults: it fills a GET's data and returns libusb's result.
    // A recorded session is replayed this way. Survives reset(); an empty
    // function gives the transfers back to the firmware.
    using TransferAnswer = std::function<int(Transfer &record, unsigned char *data)>;
    void setTransferAnswer(TransferAnswer answer) { m_transferAnswer = std::move(answer); }

    // ---- Looking ----
    const std::vector<Transfer> &transfers() const { return m_log; }
    void clearLog();
    // A long-running process keeps only about the last n transfers and request
    // frames (between n and 2n); 0, the default, keeps everything. Survives reset().
    void setLogLimit(std::size_t n) { m_logLimit = n; }
    // The SET_REPORT reports, in order.
    std::vector<Report> sentReports() const;
    bool kernelDriverAttached() const { return m_kernelDriver; }
    bool interfaceClaimed() const { return m_claimedBy != nullptr; }
    int openHandles() const { return static_cast<int>(m_handles.size()); }

    Firmware &firmware() { return m_firmware; }
    Deck &deck() { return m_firmware.deck(); }

    // ---- The libusb surface (libusb_emulated.cpp) calls these ----
    int init(libusb_context **context);
    void exit(libusb_context *context);
    long deviceList(libusb_context *context, libusb_device ***list);
    void freeDeviceList(libusb_device **list);
    libusb_device_handle *open(libusb_context *context, std::uint16_t vendor, std::uint16_t product);
    void close(libusb_device_handle *handle);
    int kernelDriverActive(libusb_device_handle *handle, int interface);
    int detachKernelDriver(libusb_device_handle *handle, int interface);
    int claim(libusb_device_handle *handle, int interface);
    int release(libusb_device_handle *handle, int interface);
    int controlTransfer(libusb_device_handle *handle, std::uint8_t requestType,
                        std::uint8_t request, std::uint16_t value, std::uint16_t index,
                        unsigned char *data, std::uint16_t length, unsigned timeoutMs);
    int hasCapability(std::uint32_t capability) const;
    int registerHotplug(libusb_context *context, int events, int flags, int vendor, int product,
                        int deviceClass, libusb_hotplug_callback_fn function, void *userData,
                        libusb_hotplug_callback_handle *handle);
    void deregisterHotplug(libusb_context *context, libusb_hotplug_callback_handle handle);
    int handleEvents(libusb_context *context);
    const libusb_pollfd **pollfds(libusb_context *context);
    void freePollfds(const libusb_pollfd **list);

private:
    EmulatedReader();
    bool alive(const libusb_device_handle *handle) const;
    int transfer(libusb_device_handle *handle, Transfer &record, unsigned char *data);
    // Every live context gets the event, for the reader's current device.
    void queueHotplug(libusb_hotplug_event event);
    libusb_context *newContext();
    void deleteContext(libusb_context *context);

    Firmware m_firmware;
    bool m_plugged = true;
    unsigned m_generation = 1; // one per plug-in; a handle belongs to one
    bool m_kernelDriver = true;
    const libusb_device_handle *m_claimedBy = nullptr;
    std::vector<std::unique_ptr<libusb_device>> m_devices; // one per plug-in, kept
    std::vector<libusb_device_handle *> m_handles;          // open, owned until closed
    std::vector<libusb_context *> m_contexts;                // from libusb_init, until libusb_exit
    bool m_hotplug = true;
    libusb_hotplug_callback_handle m_nextCallback = 1;

    int m_unplugCountdown = -1;
    int m_busyFetches = 0;
    std::vector<Report> m_injected;
    std::size_t m_nextInjected = 0;
    std::chrono::microseconds m_latency{0};
    int m_initError = 0;
    bool m_heldElsewhere = false;
    std::vector<Transfer> m_log;
    std::size_t m_logLimit = 0;
    std::function<void(bool)> m_plugObserver;
    TransferAnswer m_transferAnswer;
};

} // namespace dorvent::emulator
