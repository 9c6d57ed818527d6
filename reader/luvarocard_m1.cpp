// M1 cards (sector-keyed 16-byte blocks, value blocks), once Type A
// activation (luvarocard_typea.cpp) has selected one. Every command is one
// report each way:
//
//   -> 02 08 00 09 00 44 60 01 FF FF FF FF FF FF 24   authenticate sector 1 with key A
//   <- 02 02 00 00 ..                                 status 00: the sector is open
//   -> 02 08 00 02 00 46 04 48                        read block 4
//   <- 02 02 00 10 <16 block bytes> ..                count 16, the block from offset 4
//
// A value block holds V, ~V, V (4 bytes each, little-endian), then the block
// address A, ~A, A, ~A; the reader's increment (0x48) and decrement (0x49)
// take the amount as 4 bytes little-endian.

#include "luvarocard.h"

#include <cstdint>
#include <cstdio>

static_assert(sizeof(unsigned long) == 8, "amounts are 64-bit");

namespace {

// Command codes of the reader.
constexpr unsigned char kAuthenticate = 0x44;
constexpr unsigned char kReadBlock = 0x46;
constexpr unsigned char kWriteBlock = 0x47;
constexpr unsigned char kIncrement = 0x48;
constexpr unsigned char kDecrement = 0x49;

constexpr int kReportSize = luvaro::kReportSize;
constexpr int kBlockSize = luvaroCard::kM1BlockSize;
constexpr int kKeySize = luvaroCard::kM1KeySize;
constexpr int kBlockOffset = 4; // a block read's bytes start here
constexpr unsigned long kMaxAmount = 0xFFFFFFFFul;

void putLittleEndian32(std::uint32_t v, unsigned char *out)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(v >> (8 * i));
}

void buildValueBlock(std::uint32_t value, unsigned char address, unsigned char *block)
{
    putLittleEndian32(value, block);
    putLittleEndian32(~value, block + 4);
    putLittleEndian32(value, block + 8);
    block[12] = address;
    block[13] = static_cast<unsigned char>(~address);
    block[14] = address;
    block[15] = static_cast<unsigned char>(~address);
}

// The value copies and the address copies must agree, checked in this order.
bool isValueBlock(const unsigned char *b)
{
    for (int i = 0; i < 4; ++i)
        if (b[i] != b[i + 8] || b[i + 4] != static_cast<unsigned char>(~b[i]))
            return false;
    return b[12] == b[14] && b[13] == b[15] && b[13] == static_cast<unsigned char>(~b[12]);
}

} // namespace

int luvaroCard::findM1(TypeAActivation &activation)
{
    const int code = activateTypeA(activation, TypeAStep::Request, TypeAStep::Select);
    if (code != luvaro::kOk)
        return code;
    // Flushed at once: standard output may be a pipe or a log file.
    std::printf("M1 寻卡成功\n");
    std::printf("M1 卡 获取UID成功,UID:%s\n", activation.uid);
    std::fflush(stdout);
    return luvaro::kOk;
}

int luvaroCard::luvaro_USB_M1VerifyPass(unsigned char keyType, unsigned char sector, const char *keyHex)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    // Exactly the six key bytes: a key cut or filled up is another key.
    if (sector >= kM1Sectors || luvaro::wholeHexBytes(keyHex) != kKeySize)
        return luvaro::kBadParameter;
    unsigned char params[2 + kKeySize] = {keyType, sector};
    util_putHex2Char(keyHex, params, 2, sizeof params);
    return simpleCommand(kAuthenticate, params, sizeof params);
}

int luvaroCard::luvaro_USB_M1Read(unsigned char block, char *dataHex, int size)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    unsigned char reply[kReportSize];
    if (const int result = singleExchange(kReadBlock, &block, 1, reply); result != luvaro::kOk)
        return result;
    const int written = luvaro::writeHex(reply + kBlockOffset, kBlockSize, dataHex, size, luvaro::HexEnd::None);
    return written < 0 ? written : luvaro::kOk;
}

int luvaroCard::luvaro_USB_M1Write(unsigned char block, const char *dataHex)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    // Whole bytes, at least one: a block is never written from a text that
    // lost a digit or from none at all. Bytes after the text's go as 0x00.
    const long long bytes = luvaro::wholeHexBytes(dataHex);
    if (bytes < 1 || bytes > kBlockSize)
        return luvaro::kBadParameter;
    unsigned char params[1 + kBlockSize] = {block};
    util_putHex2Char(dataHex, params, 1, sizeof params);
    return simpleCommand(kWriteBlock, params, sizeof params);
}

int luvaroCard::luvaro_USB_M1Initval(unsigned char block, unsigned long value)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    if (value > kMaxAmount)
        return luvaro::kBadParameter;
    unsigned char params[1 + kBlockSize] = {block};
    buildValueBlock(static_cast<std::uint32_t>(value), block, params + 1);
    return simpleCommand(kWriteBlock, params, sizeof params);
}

int luvaroCard::m1ValueCommand(unsigned char command, unsigned char block, unsigned long amount)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    if (amount > kMaxAmount)
        return luvaro::kBadParameter;
    unsigned char params[5] = {block};
    putLittleEndian32(static_cast<std::uint32_t>(amount), params + 1);
    return simpleCommand(command, params, sizeof params);
}

int luvaroCard::luvaro_USB_M1Increment(unsigned char block, unsigned long value)
{
    return m1ValueCommand(kIncrement, block, value);
}

int luvaroCard::luvaro_USB_M1Decrement(unsigned char block, unsigned long value)
{
    const int result = m1ValueCommand(kDecrement, block, value);
    // A refused decrement is reported as a value out of range.
    return result == luvaro::kSingleStatusError ? luvaro::kBadParameter : result;
}

int luvaroCard::luvaro_USB_M1Readval(unsigned char block, unsigned long *value)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    if (!value)
        return luvaro::kBadParameter;
    unsigned char reply[kReportSize];
    if (exchangeRequest(kReadBlock, &block, 1, reply) != luvaro::kOk || !luvaro::isSingleReply(reply))
        return luvaro::kTransferFailed;
    const unsigned char *b = reply + kBlockOffset;
    if (reply[luvaro::kStatusOffset] != luvaro::kStatusOk || !isValueBlock(b))
        return luvaro::kBadParameter;
    const std::uint32_t v = b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint32_t>(b[3]) << 24;
    *value = static_cast<unsigned long>(static_cast<long>(static_cast<std::int32_t>(v)));
    return luvaro::kOk;
}
