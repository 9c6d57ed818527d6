// Contact CPU cards (power, APDUs) and APDUs to a contactless CPU card once
// Type A activation (luvarocard_typea.cpp) has brought it up.

#include "luvarocard.h"

namespace {

// Command codes of the reader.
constexpr unsigned char kColdReset = 0x74;
constexpr unsigned char kWarmReset = 0x75;
constexpr unsigned char kPowerOff = 0x73;
constexpr unsigned char kContactApdu = 0x72;
constexpr unsigned char kContactlessApdu = 0x86;
constexpr unsigned char kResetParameter = 0x13;
// The contactless exchange's block control: 0x00 wraps the APDU in an I-block.
constexpr unsigned char kInformationBlock = 0x00;

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

constexpr int kReportSize = luvaro::kReportSize;
constexpr int kApduPrefix = 2; // the byte after the command, then 0x00

// The request <command> <p1> 00 APDU, the APDU text packed. The frame's
// length (9 bytes more than the APDU's), or -14 when the APDU is longer than
// `maxBytes` or is not whole digit pairs (a card would run the command
// without its last byte).
int buildApduFrame(unsigned char command, unsigned char p1, const char *apduHex, int maxBytes,
                   unsigned char *frame, int capacity)
{
    const long long bytes = luvaro::wholeHexBytes(apduHex);
    if (bytes < 0 || bytes > maxBytes)
        return luvaro::kBadParameter;
    unsigned char params[kApduPrefix + luvaroCard::kMaxContactlessApdu] = {p1, 0x00};
    const int end = util_putHex2Char(apduHex, params, kApduPrefix, kApduPrefix + maxBytes);
    if (end < 0)
        return luvaro::kBadParameter;
    const int n = end - kApduPrefix;
    return luvaro::buildRequest(command, params, kApduPrefix + n, frame, capacity);
}
static_assert(luvaroCard::kMaxContactlessApdu >= luvaroCard::kMaxContactApdu,
              "the parameter buffer holds either APDU");

} // namespace

unsigned char luvaroCard::getSlot(int slot)
{
    for (const auto &entry : kSlots)
        if (entry.slot == slot)
            return entry.byte;
    return kUnknownSlotByte;
}

int luvaroCard::luvaro_USB_ColdPowerOn(int slot, char *atrHex, int size)
{
    const unsigned char params[] = {getSlot(slot), kResetParameter};
    return countedHexCommand(kColdReset, params, sizeof params, luvaro::kNoCardResponse, false,
                             luvaro::HexEnd::None, atrHex, size);
}

int luvaroCard::luvaro_USB_HotPowerOn(int slot, char *atrHex, int size)
{
    const unsigned char params[] = {getSlot(slot), kResetParameter};
    return countedHexCommand(kWarmReset, params, sizeof params, luvaro::kNoCardResponse, false,
                             luvaro::HexEnd::None, atrHex, size);
}

int luvaroCard::luvaro_USB_PowerOff(int slot)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    const unsigned char slotByte = getSlot(slot);
    unsigned char reply[kReportSize];
    if (exchangeRequest(kPowerOff, &slotByte, 1, reply) != luvaro::kOk || !luvaro::isSingleReply(reply))
        return luvaro::kFailed;
    if (reply[luvaro::kStatusOffset] == luvaro::kStatusOk)
        return luvaro::kOk;
    // The reader's refusal code; a refusal without one must still not read as success.
    return reply[3] != 0 ? reply[3] : luvaro::kSingleStatusError;
}

int luvaroCard::luvaro_USB_APDU(int slot, const char *apduHex, char *outHex, int size)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    unsigned char frame[kMaxContactApdu + 10] = {};
    const int frameLen = buildApduFrame(kContactApdu, getSlot(slot), apduHex, kMaxContactApdu, frame, sizeof frame);
    if (frameLen < 0)
        return frameLen;
    // The frame goes out with one zero byte more than it holds.
    int result = SetUsbMsg(m_handle, frame, frameLen + 1);
    if (result != luvaro::kOk)
        return result;

    unsigned char answer[kAnswerBufferSize];
    int length = 0;
    result = GetUsbMsg(m_handle, answer, &length, sizeof answer);
    if (result != luvaro::kOk)
        return result;
    const int written = luvaro::writeHex(answer, length, outHex, size, luvaro::HexEnd::None);
    return written < 0 ? written : luvaro::kOk;
}

int luvaroCard::luvaro_USB_APDUType(const char *apduHex, char *outHex, int size)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    unsigned char frame[kMaxContactlessApdu + 9] = {};
    const int frameLen = buildApduFrame(kContactlessApdu, kInformationBlock, apduHex, kMaxContactlessApdu,
                                        frame, sizeof frame);
    if (frameLen < 0)
        return frameLen;
    int result = HDRead_Write_new(m_handle, frame, frameLen);
    if (result != luvaro::kOk)
        return result;

    unsigned char answer[kContactlessBufferSize];
    int length = 0;
    result = HDRead_PICCReader(m_handle, answer, &length, sizeof answer);
    if (result != luvaro::kOk)
        return result;
    const int written = luvaro::writeHex(answer, length - 2, outHex, size, luvaro::HexEnd::None);
    return written < 0 ? written : luvaro::kOk;
}
