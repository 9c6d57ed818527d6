// 4442 and 4428 memory cards in the user slot. The reader runs the card's
// own protocol; the driver frames the requests and formats the answers.
// Both types have the same nine commands, 0x50-0x58 and 0x60-0x68.
//
// Trace, 4442 read of 16 bytes from address 32 (multi-report exchange):
//   -> SET  02 08 00 04 00 52 20 10 00 6E
//                          |  |  +---+- length, little-endian
//                          |  +- address
//                          +- read main memory
//   <- GET  02 02 00 10 00 <16 bytes> checksum
//
// Trace, read protection memory (single report; the bits from offset 6):
//   -> SET  02 08 00 03 00 56 00 20 7D
//   <- GET  02 02 00 04 00 00 FF FF FF FF ..     (count 4 at offset 3)
// Bit k of protection byte j is the bit of main-memory byte 8·j + k.

#include "luvarocard.h"

#include <algorithm>

namespace {

// Offsets from the 4442 command base; the 4428 base is 0x60.
constexpr unsigned char k4442 = 0x50;
constexpr unsigned char k4428 = 0x60;
constexpr unsigned char kPowerOn = 0x00;
constexpr unsigned char kPowerOff = 0x01;
constexpr unsigned char kRead = 0x02;
constexpr unsigned char kWrite = 0x03;
constexpr unsigned char kVerify = 0x04;
constexpr unsigned char kChange = 0x05;
constexpr unsigned char kReadProtect = 0x06;
constexpr unsigned char kWriteProtect = 0x07;
constexpr unsigned char kReadCount = 0x08;

constexpr int k4442CodeBytes = 3;
constexpr int k4428CodeBytes = 2;

constexpr int kReportSize = luvaro::kReportSize;
constexpr int kRemainingOffset = 4;      // error counter: the attempts left
constexpr int kProtectionOffset = 6;     // read protection: the bits' first byte
constexpr int kProtectionBytes = luvaroCard::kProtectionBits / 8;
constexpr int kReplyBufferSize = 1024;   // more than a read asks for; the rest is dropped

// Packs the first len bytes of a hex text into dst[capacity]. The text must
// be whole digit pairs holding at least len bytes: a byte the caller did not
// send is never written to the card, nor a text missing a digit. A longer
// text gives its first len bytes.
bool packData(const char *hex, int len, unsigned char *dst, int capacity)
{
    const long long bytes = luvaro::wholeHexBytes(hex);
    if (len < 0 || len > capacity || bytes <= 0 || bytes < len)
        return false;
    for (int i = 0; i < len; ++i)
        dst[i] = static_cast<unsigned char>(util_C2I(hex[2 * i]) << 4 | util_C2I(hex[2 * i + 1]));
    return true;
}

// A security code is exactly the card's length: a wrong guess costs one of
// the card's few attempts, and a changed code must be the one the caller typed.
bool packCode(const char *hex, int codeBytes, unsigned char *dst, int capacity)
{
    return codeBytes <= capacity && luvaro::wholeHexBytes(hex) == codeBytes
           && util_putHex2Char(hex, dst, 0, codeBytes) == codeBytes;
}

bool mainMemoryInRange(int addr, int len)
{
    return addr >= 0 && addr <= luvaroCard::kMemoryCardMaxAddress && len >= 0
           && len <= luvaroCard::kMemoryCardMaxLength;
}

// Protection memory has 32 bits: nothing past them is asked for. Each bound
// on its own first, so addr + len cannot overflow.
bool protectionInRange(int addr, int len)
{
    constexpr int kBits = luvaroCard::kProtectionBits;
    return addr >= 0 && len >= 0 && addr <= kBits && len <= kBits - addr;
}

// A 4428 has a protection bit for each of its bytes: the request's own
// bounds hold, each of addr and len 0 to 32, not those of the 4442's 32 bits.
bool byteProtectionInRange(int addr, int len)
{
    return addr >= 0 && addr <= luvaroCard::kProtectionBits && len >= 0
           && len <= luvaroCard::kProtectionBits;
}

} // namespace

int luvaroCard::memoryRead(unsigned char command, int addr, int len, char *dataHex, int size)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    if (!mainMemoryInRange(addr, len))
        return luvaro::kBadParameter;
    const unsigned char params[] = {static_cast<unsigned char>(addr), static_cast<unsigned char>(len & 0xFF),
                                    static_cast<unsigned char>(len >> 8)};
    unsigned char frame[kReportSize] = {};
    const int frameLen = luvaro::buildRequest(command, params, sizeof params, frame, sizeof frame);
    unsigned char data[kReplyBufferSize];
    int length = 0;
    const int result = frameExchange(frame, frameLen, data, sizeof data, &length);
    if (result != luvaro::kOk)
        return result;
    const int written = luvaro::writeHex(data, length, dataHex, size, luvaro::HexEnd::None);
    return written < 0 ? written : luvaro::kOk;
}

int luvaroCard::memoryWrite(unsigned char command, int addr, int len, const char *dataHex)
{
    constexpr int kPrefix = 3; // address, length low, length high
    if (!m_handle)
        return luvaro::kNotOpen;
    if (!mainMemoryInRange(addr, len) || !dataHex)
        return luvaro::kBadParameter;
    unsigned char params[kPrefix + kMemoryCardMaxLength] = {static_cast<unsigned char>(addr),
                                                            static_cast<unsigned char>(len & 0xFF),
                                                            static_cast<unsigned char>(len >> 8)};
    if (!packData(dataHex, len, params + kPrefix, kMemoryCardMaxLength))
        return luvaro::kBadParameter;
    unsigned char frame[kPrefix + kMemoryCardMaxLength + 7] = {};
    const int frameLen = luvaro::buildRequest(command, params, kPrefix + len, frame, sizeof frame);
    int length = 0;
    return frameExchange(frame, frameLen, nullptr, 0, &length);
}

int luvaroCard::memoryCode(unsigned char command, const char *pscHex, int codeBytes)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    if (!pscHex)
        return luvaro::kBadParameter;
    unsigned char code[k4442CodeBytes] = {};
    if (!packCode(pscHex, codeBytes, code, sizeof code))
        return luvaro::kBadParameter;
    return simpleCommand(command, code, codeBytes);
}

int luvaroCard::memoryReadProtect(unsigned char command, int addr, int len, char *bitsHex, int size)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    if (!protectionInRange(addr, len))
        return luvaro::kBadParameter;
    if (!bitsHex || 2 * len > size)
        return luvaro::kBadParameter;
    const unsigned char params[] = {static_cast<unsigned char>(addr), static_cast<unsigned char>(len)};
    unsigned char reply[kReportSize];
    if (const int result = singleExchange(command, params, sizeof params, reply); result != luvaro::kOk)
        return result;
    // Bits the reply did not carry are unknown: such a reply is malformed.
    const int carried = std::min<int>(reply[luvaro::kCountOffset], kProtectionBytes);
    if (addr + len > 8 * carried)
        return luvaro::kTransferFailed;
    for (int i = 0; i < len; ++i) {
        const int bit = addr + i;
        const bool set = reply[kProtectionOffset + bit / 8] >> (bit % 8) & 1;
        bitsHex[2 * i] = '0';
        bitsHex[2 * i + 1] = set ? '1' : '0';
    }
    return luvaro::kOk;
}

int luvaroCard::memoryWriteProtect(unsigned char command, int addr, int len, const char *dataHex,
                                   bool everyByteProtectable)
{
    constexpr int kPrefix = 2; // address, length
    if (!m_handle)
        return luvaro::kNotOpen;
    const bool inRange =
        everyByteProtectable ? byteProtectionInRange(addr, len) : protectionInRange(addr, len);
    if (!inRange || !dataHex)
        return luvaro::kBadParameter;
    unsigned char params[kPrefix + kProtectionBits] = {static_cast<unsigned char>(addr),
                                                       static_cast<unsigned char>(len)};
    if (!packData(dataHex, len, params + kPrefix, kProtectionBits))
        return luvaro::kBadParameter;
    unsigned char frame[kPrefix + kProtectionBits + 7] = {};
    const int frameLen = luvaro::buildRequest(command, params, kPrefix + len, frame, sizeof frame);
    unsigned char answer[kReplyBufferSize];
    int length = 0;
    const int result = frameExchange(frame, frameLen, answer, sizeof answer, &length);
    return result < 0 ? result : length;
}

int luvaroCard::memoryReadCount(unsigned char command, int *count)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    if (!count)
        return luvaro::kBadParameter;
    unsigned char reply[kReportSize];
    if (const int result = singleExchange(command, nullptr, 0, reply); result != luvaro::kOk)
        return result;
    *count = reply[kRemainingOffset];
    return luvaro::kOk;
}

// ---- 4442 ----

int luvaroCard::luvaro_USB_4442_PowerOn(char *atrHex, int size)
{
    return countedHexCommand(k4442 + kPowerOn, nullptr, 0, luvaro::kSingleStatusError, true,
                             luvaro::HexEnd::None, atrHex, size);
}

int luvaroCard::luvaro_USB_4442_PowerOff() { return simpleCommand(k4442 + kPowerOff, nullptr, 0); }

int luvaroCard::luvaro_USB_4442_Read(int addr, int len, char *dataHex, int size)
{
    return memoryRead(k4442 + kRead, addr, len, dataHex, size);
}

int luvaroCard::luvaro_USB_442_Write(int addr, int len, const char *dataHex)
{
    return memoryWrite(k4442 + kWrite, addr, len, dataHex);
}

int luvaroCard::luvaro_USB_4442_Verify(const char *pscHex)
{
    return memoryCode(k4442 + kVerify, pscHex, k4442CodeBytes);
}

int luvaroCard::luvaro_USB_4442_Change(const char *pscHex)
{
    return memoryCode(k4442 + kChange, pscHex, k4442CodeBytes);
}

int luvaroCard::luvaro_USB_4442_ReadProtect(int addr, int len, char *bitsHex, int size)
{
    return memoryReadProtect(k4442 + kReadProtect, addr, len, bitsHex, size);
}

int luvaroCard::luvaro_USB_4442_WriteProtect(int addr, int len, const char *dataHex)
{
    return memoryWriteProtect(k4442 + kWriteProtect, addr, len, dataHex, false);
}

int luvaroCard::luvaro_USB_4442_ReadCount(int *count) { return memoryReadCount(k4442 + kReadCount, count); }

// ---- 4428 ----

int luvaroCard::luvaro_USB_4428_PowerOn(char *atrHex, int size)
{
    return countedHexCommand(k4428 + kPowerOn, nullptr, 0, luvaro::kSingleStatusError, true,
                             luvaro::HexEnd::None, atrHex, size);
}

int luvaroCard::luvaro_USB_4428_PowerOff() { return simpleCommand(k4428 + kPowerOff, nullptr, 0); }

int luvaroCard::luvaro_USB_4428_Read(int addr, int len, char *dataHex, int size)
{
    return memoryRead(k4428 + kRead, addr, len, dataHex, size);
}

int luvaroCard::luvaro_USB_4428_Write(int addr, int len, const char *dataHex)
{
    return memoryWrite(k4428 + kWrite, addr, len, dataHex);
}

int luvaroCard::luvaro_USB_4428_Verify(const char *pscHex)
{
    return memoryCode(k4428 + kVerify, pscHex, k4428CodeBytes);
}

int luvaroCard::luvaro_USB_4428_Change(const char *pscHex)
{
    return memoryCode(k4428 + kChange, pscHex, k4428CodeBytes);
}

int luvaroCard::luvaro_USB_4428_ReadProtect(int addr, int len, char *bitsHex, int size)
{
    return memoryReadProtect(k4428 + kReadProtect, addr, len, bitsHex, size);
}

int luvaroCard::luvaro_USB_4428_WriteProtect(int addr, int len, const char *dataHex)
{
    return memoryWriteProtect(k4428 + kWriteProtect, addr, len, dataHex, true);
}

int luvaroCard::luvaro_USB_4428_ReadCount(int *count) { return memoryReadCount(k4428 + kReadCount, count); }
