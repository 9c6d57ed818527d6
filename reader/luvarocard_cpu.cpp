// Contact and contactless CPU cards: power, APDUs, the radio field and the
// Type A activation.

#include "luvarocard.h"

#include <algorithm>
#include <cstring>

namespace {

// Command codes of the reader.
constexpr unsigned char kColdReset = 0x74;
constexpr unsigned char kWarmReset = 0x75;
constexpr unsigned char kPowerOff = 0x73;
constexpr unsigned char kContactApdu = 0x72;
constexpr unsigned char kSwitchField = 0x4E;
constexpr unsigned char kSetProtocol = 0x87;
constexpr unsigned char kRequest = 0x41;
constexpr unsigned char kAnticollision = 0x42;
constexpr unsigned char kSelectTypeA = 0x43;
constexpr unsigned char kSelectOther = 0x8A;
constexpr unsigned char kRats = 0x85;
constexpr unsigned char kContactlessApdu = 0x86;
constexpr unsigned char kResetParameter = 0x13;

// Caller's slot number -> the reader's slot byte.
constexpr struct
{
    int slot;
    unsigned char byte;
} kSlots[] = {
    {0x01, 0x0C}, {0x11, 0x0D}, {0x12, 0x0E}, {0x13, 0x0F}, {0x14, 0x10},
    {0x21, 0x8D}, {0x22, 0x8E}, {0x23, 0x8F}, {0x24, 0x90},
};
constexpr unsigned char kUnknownSlotByte = 0x8F;

constexpr int kCountOffset = 3; // counted replies: count here, bytes from the next offset
constexpr int kReportSize = luvaroCard::kReportSize;

// Writes n bytes as hex into out[size]: the digits, and a NUL when there is
// room. -14 and nothing written when the digits do not fit.
int writeHex(const unsigned char *bytes, int n, char *out, int size)
{
    if (n <= 0)
        return 0;
    if (!out || 2 * n > size)
        return luvaro::kBadParameter;
    static const char kDigits[] = "0123456789ABCDEF";
    for (int i = 0; i < n; ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    if (2 * n < size)
        out[2 * n] = '\0';
    return 0;
}

// Lays out 02 08 00 L <command> <p1> 00 APDU checksum (L = n + 3) with the
// APDU text packed behind the fixed part; an odd last digit is dropped. The
// APDU's byte count, or -14 when it is longer than `maxBytes`.
int buildApduFrame(unsigned char command, unsigned char p1, const char *apduHex, int maxBytes,
                   unsigned char *frame, int capacity)
{
    constexpr int kFixed = 8;
    if (!apduHex || std::strlen(apduHex) / 2 > static_cast<std::size_t>(maxBytes)
        || kFixed + maxBytes + 1 > capacity)
        return luvaro::kBadParameter;
    const int n = util_putHex2Char(apduHex, frame, kFixed, capacity) - kFixed;
    const int length = n + 3;
    const unsigned char header[kFixed] = {0x02, 0x08, 0x00, static_cast<unsigned char>(length & 0xFF),
                                          static_cast<unsigned char>(length >> 8), command, p1, 0x00};
    std::memcpy(frame, header, kFixed);
    unsigned char x = 0;
    for (int i = 1; i < kFixed + n; ++i)
        x ^= frame[i];
    frame[kFixed + n] = x;
    return n;
}

} // namespace

unsigned char luvaroCard::getSlot(int slot)
{
    for (const auto &entry : kSlots)
        if (entry.slot == slot)
            return entry.byte;
    return kUnknownSlotByte;
}

int luvaroCard::countedHexCommand(unsigned char command, const unsigned char *params, int n,
                                  int refusedCode, bool checkHeader, char *hex, int size)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    unsigned char frame[kReportSize] = {};
    const int frameLen = buildFrame(command, params, n, frame, sizeof frame);
    unsigned char reply[kReportSize];
    if (frameLen < 0 || exchangeReport(frame, frameLen, reply) != luvaro::kOk)
        return frameLen < 0 ? frameLen : luvaro::kTransferFailed;
    if (checkHeader && (reply[0] != 0x02 || reply[1] != 0x02))
        return luvaro::kTransferFailed;
    if (reply[2] != 0x00)
        return refusedCode;
    // The count is the reader's word; only what the report holds is taken.
    const int count = std::min<int>(reply[kCountOffset], kReportSize - (kCountOffset + 1));
    return writeHex(reply + kCountOffset + 1, count, hex, size);
}

int luvaroCard::simpleCommand(unsigned char command, const unsigned char *params, int n)
{
    unsigned char none[1];
    const int result = PICC_Reader_SetMsg(command, params, n, none, 0);
    return result < 0 ? result : luvaro::kOk;
}

int luvaroCard::luvaro_USB_ColdPowerOn(int slot, char *atrHex, int size)
{
    const unsigned char params[] = {getSlot(slot), kResetParameter};
    return countedHexCommand(kColdReset, params, sizeof params, luvaro::kPowerOnRefused, false,
                             atrHex, size);
}

int luvaroCard::luvaro_USB_HotPowerOn(int slot, char *atrHex, int size)
{
    const unsigned char params[] = {getSlot(slot), kResetParameter};
    return countedHexCommand(kWarmReset, params, sizeof params, luvaro::kPowerOnRefused, false,
                             atrHex, size);
}

int luvaroCard::luvaro_USB_PowerOff(int slot)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    // The reader takes this request with L = 1 and a checksum from offset 2.
    const unsigned char slotByte = getSlot(slot);
    unsigned char frame[kReportSize] = {0x02, 0x08, 0x00, 0x01, 0x00, kPowerOff, slotByte};
    frame[7] = xorOf(frame, 2, 6);
    unsigned char reply[kReportSize];
    if (exchangeReport(frame, 8, reply) != luvaro::kOk || reply[0] != 0x02 || reply[1] != 0x02)
        return luvaro::kNoReaderFound;
    if (reply[2] == 0x00)
        return luvaro::kOk;
    // The reader's refusal code; a refusal without one must still not read as success.
    return reply[3] != 0 ? reply[3] : luvaro::kSingleStatusError;
}

int luvaroCard::luvaro_USB_APDU(int slot, const char *apduHex, char *outHex, int size)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    // 02 08 00 L 72 slot 00 APDU checksum, and one zero byte more on the wire.
    unsigned char frame[kMaxContactApdu + 10] = {};
    const int n = buildApduFrame(kContactApdu, getSlot(slot), apduHex, kMaxContactApdu, frame, sizeof frame);
    if (n < 0)
        return n;
    int result = SetUsbMsg(m_handle, frame, n + 10);
    if (result != luvaro::kOk)
        return result;

    unsigned char answer[kAnswerBufferSize];
    int length = 0;
    result = GetUsbMsg(m_handle, answer, &length, sizeof answer);
    if (result != luvaro::kOk)
        return result;
    return writeHex(answer, length, outHex, size);
}

int luvaroCard::luvaro_USB_SwitchRF(int on)
{
    const unsigned char param = static_cast<unsigned char>(on & 0xFF);
    return simpleCommand(kSwitchField, &param, 1);
}

int luvaroCard::luvaro_USB_SetTypeA()
{
    const unsigned char param = 'A';
    return simpleCommand(kSetProtocol, &param, 1);
}

int luvaroCard::luvaro_USB_ICRequest()
{
    return simpleCommand(kRequest, nullptr, 0);
}

int luvaroCard::luvaro_USB_ICAnticoll(char *uidHex, int size)
{
    return countedHexCommand(kAnticollision, nullptr, 0, luvaro::kSingleStatusError, true, uidHex, size);
}

int luvaroCard::luvaro_USB_ICSelect(unsigned char type)
{
    return simpleCommand(type == 'A' ? kSelectTypeA : kSelectOther, nullptr, 0);
}

int luvaroCard::luvaro_USB_PowerOnTypeA(char *atsHex, int size)
{
    return countedHexCommand(kRats, nullptr, 0, luvaro::kSingleStatusError, true, atsHex, size);
}

int luvaroCard::luvaro_USB_APDUType(const char *apduHex, char *outHex, int size)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    // 02 08 00 L 86 00 00 APDU checksum.
    unsigned char frame[kMaxContactlessApdu + 9] = {};
    const int n = buildApduFrame(kContactlessApdu, 0x00, apduHex, kMaxContactlessApdu, frame, sizeof frame);
    if (n < 0)
        return n;
    int result = HDRead_Write_new(m_handle, frame, n + 9);
    if (result != luvaro::kOk)
        return result;

    unsigned char answer[kContactlessBufferSize];
    int length = 0;
    result = HDRead_PICCReader(m_handle, answer, &length, sizeof answer);
    if (result != luvaro::kOk)
        return result;
    return writeHex(answer, length - 2, outHex, size);
}

int luvaroCard::typeAPowerON(char *atsHex, int *len, int size)
{
    char uid[256] = {};
    char ats[128] = {};
    if (luvaro_USB_SetTypeA() != 0 || luvaro_USB_ICRequest() != 0
        || luvaro_USB_ICAnticoll(uid, sizeof uid) != 0 || luvaro_USB_ICSelect('A') != 0
        || luvaro_USB_PowerOnTypeA(ats, sizeof ats - 1) != 0)
        return -1;
    const int n = static_cast<int>(std::strlen(ats));
    if (!atsHex || n >= size)
        return -1;
    std::memcpy(atsHex, ats, n + 1);
    if (len)
        *len = 0;
    return 0;
}
