#pragma once

#include "usbdescriptors.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct libusb_context;
struct libusb_device_handle;

namespace dorvent::vusb {

// One control transfer's setup stage.
struct Setup
{
    std::uint8_t requestType = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;

    bool in() const { return requestType & 0x80; }
    // "21/09/0000/0000/32": the fields in hex, the length in decimal.
    std::string text() const;
};

struct ControlResult
{
    bool stalled = false;
    Bytes data; // what an IN transfer answers, at most the setup's length
};

// The reader as a USB device: it answers the standard requests itself
// (descriptors, status, configuration) and hands every HID class request on
// its interface to the emulated reader, through the same libusb surface the
// service uses in dorvent-emu. So SET_REPORT and GET_REPORT meet the one
// firmware model and its rules: a request the reader does not take stalls.
//
// Every setup it sees is logged, with its outcome, to a file and to a list a
// test can take.
class ReaderDevice
{
public:
    ReaderDevice() = default;
    ~ReaderDevice();
    ReaderDevice(const ReaderDevice &) = delete;
    ReaderDevice &operator=(const ReaderDevice &) = delete;

    // A new plug-in: unconfigured, and a handle on the emulated reader that
    // owns its interface. False when the emulated reader is not plugged in.
    bool attach();
    void detach();
    bool attached() const { return m_handle != nullptr; }

    ControlResult control(const Setup &setup, const Bytes &out = {});

    // usbredir carries these as messages of their own; they are logged as
    // the setups they stand for. False: the device refuses (stall).
    bool setConfiguration(std::uint8_t value);
    std::uint8_t configuration() const { return m_configuration; }
    bool setAltSetting(std::uint8_t interface, std::uint8_t alt);
    // -1 for an interface the device does not have (or while unconfigured).
    int altSetting(std::uint8_t interface) const;
    // A bus reset: back to the default state (the firmware keeps its own).
    void busReset() { m_configuration = 0; }

    // Lines go to this file too (line by line), from now on; null: none.
    void setLogFile(std::FILE *file) { m_logFile = file; }
    // The lines logged since the last call, "SETUP ok" or "SETUP stall".
    std::vector<std::string> takeSetups();
    // Bounds the kept list for a long-running process; the file has all.
    static constexpr std::size_t kMaxKeptSetups = 100000;

private:
    ControlResult standardRequest(const Setup &setup);
    ControlResult classRequest(const Setup &setup, const Bytes &out);
    void log(const Setup &setup, bool stalled);

    libusb_context *m_context = nullptr;
    libusb_device_handle *m_handle = nullptr; // owned; the emulated reader's door
    std::uint8_t m_configuration = 0;
    std::FILE *m_logFile = nullptr;
    std::vector<std::string> m_setups;
};

} // namespace dorvent::vusb
