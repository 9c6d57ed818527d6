// ISO 15693 vicinity tags: inventory, system information, 4-byte blocks, AFI
// and DSFID. One report each way. Apart from inventory (0x90) and system
// information (0x96), the reader takes these requests only with L = 1 in
// their header, whatever follows; the checksum still stands right after the
// last byte (frame.cpp's rule table):
//
//   -> 02 08 00 01 00 91 05 9D           read block 5
//   <- 02 02 00 04 <4 block bytes> ..    count 4, the block from offset 4
//   -> 02 08 00 01 00 93 00 07 9D        write AFI 07
//   -> 02 08 00 01 00 93 01 9B           lock AFI
//   -> 02 08 00 01 00 96 9F              system information
//   <- 02 02 00 0E 00 <14 bytes> ..      count at offset 3, the bytes from offset 5
//
// Counts are the reader's word: only bytes the report holds are taken.

#include "luvarocard.h"

namespace {

// Command codes of the reader.
constexpr unsigned char kInventory = 0x90;
constexpr unsigned char kReadBlock = 0x91;
constexpr unsigned char kWriteBlock = 0x92;
constexpr unsigned char kAfi = 0x93;
constexpr unsigned char kDsfid = 0x94;
constexpr unsigned char kLockBlock = 0x95;
constexpr unsigned char kSystemInformation = 0x96;
// The AFI and DSFID commands' first byte.
constexpr unsigned char kWrite = 0x00;
constexpr unsigned char kLock = 0x01;

constexpr int kReportSize = luvaro::kReportSize;
constexpr int kDataOffset = 4;
constexpr int kInfoOffset = 5;

// The count at offset 3 of bytes from `from`, bounded by the report.
int countedBytes(const unsigned char *reply, int from)
{
    const int count = reply[luvaro::kCountOffset];
    return count < kReportSize - from ? count : kReportSize - from;
}

} // namespace

int luvaroCard::luvaro_USB_15693_Find(char *uidHex, int size)
{
    return countedHexCommand(kInventory, nullptr, 0, luvaro::kSingleStatusError, true,
                             luvaro::HexEnd::None, uidHex, size);
}

int luvaroCard::luvaro_USB_15693_Info(char *infoHex, int size)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    unsigned char reply[kReportSize];
    if (const int result = singleExchange(kSystemInformation, nullptr, 0, reply); result != luvaro::kOk)
        return result;
    const int written = luvaro::writeHex(reply + kInfoOffset, countedBytes(reply, kInfoOffset), infoHex,
                                         size, luvaro::HexEnd::None);
    return written < 0 ? written : luvaro::kOk;
}

int luvaroCard::luvaro_USB_15693_Read(unsigned char block, char *dataHex, int size)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    unsigned char reply[kReportSize];
    // Readers differ in byte 0 of this reply (0x82 from some): only the tag counts.
    if (exchangeRequest(kReadBlock, &block, 1, reply, ReplyHeader::TagOnly) != luvaro::kOk)
        return luvaro::kTransferFailed;
    if (reply[luvaro::kStatusOffset] != luvaro::kStatusOk)
        return luvaro::kSingleStatusError;
    const int written = luvaro::writeHex(reply + kDataOffset, countedBytes(reply, kDataOffset), dataHex,
                                         size, luvaro::HexEnd::None);
    return written < 0 ? written : luvaro::kOk;
}

int luvaroCard::luvaro_USB_15693_Write(unsigned char block, const char *dataHex)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    // As an M1 block: whole bytes, at least one, the rest of the block 0x00.
    const long long bytes = luvaro::wholeHexBytes(dataHex);
    if (bytes < 1 || bytes > kIso15693BlockSize)
        return luvaro::kBadParameter;
    unsigned char params[1 + kIso15693BlockSize] = {block};
    util_putHex2Char(dataHex, params, 1, sizeof params);
    return simpleCommand(kWriteBlock, params, sizeof params);
}

int luvaroCard::luvaro_USB_15693_WriteAFI(unsigned char afi, char *outHex, int size)
{
    const unsigned char params[] = {kWrite, afi};
    return countedHexCommand(kAfi, params, sizeof params, luvaro::kSingleStatusError, true,
                             luvaro::HexEnd::None, outHex, size);
}

int luvaroCard::luvaro_USB_15693_LockAFI(char *outHex, int size)
{
    return countedHexCommand(kAfi, &kLock, 1, luvaro::kSingleStatusError, true, luvaro::HexEnd::None,
                             outHex, size);
}

int luvaroCard::luvaro_USB_15693_WriteDSFID(unsigned char dsfid, char *outHex, int size)
{
    const unsigned char params[] = {kWrite, dsfid};
    return countedHexCommand(kDsfid, params, sizeof params, luvaro::kSingleStatusError, true,
                             luvaro::HexEnd::None, outHex, size);
}

int luvaroCard::luvaro_USB_15693_LockDSFID(char *outHex, int size)
{
    return countedHexCommand(kDsfid, &kLock, 1, luvaro::kSingleStatusError, true, luvaro::HexEnd::None,
                             outHex, size);
}

int luvaroCard::luvaro_USB_5693_LockDataBlock(unsigned char block, char *outHex, int size)
{
    return countedHexCommand(kLockBlock, &block, 1, luvaro::kSingleStatusError, true,
                             luvaro::HexEnd::None, outHex, size);
}
