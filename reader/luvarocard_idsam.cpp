// The resident identity card read through the reader's SAM.
//
// A read is always find (0xB0), select (0xB1), then read (0xB4, or 0xB5 with
// the fingerprint). Find and select are one report each way; the reads and
// the chip UID (0x12) are multi-report exchanges:
//
//   find      > 02 08 00 01 00 B0 B9 ...
//             < 02 02 00 ...            status 00: a card is there
//   read      > 02 08 00 01 00 B4 BD ...
//             < 82 02 00 00 05 <27 bytes of text block> ...
//             < 82 <31 bytes> ...       (and so on, 1280 bytes in all)
//
// The payload is decoded into the record by Analysis (luvarocard_idrecord.cpp).
#include "luvarocard.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// Command codes of the SAM.
constexpr unsigned char kFind = 0xB0;
constexpr unsigned char kSelect = 0xB1;
constexpr unsigned char kRead = 0xB4;
constexpr unsigned char kReadExtended = 0xB5;
constexpr unsigned char kChipUid = 0x12;

// Select answers this when no card was selected; any other status is taken.
constexpr unsigned char kStatusNotSelected = 0x01;

// Payload layout of the reads.
constexpr std::size_t kExtendedSkip = 2;          // two bytes before the text block
constexpr std::size_t kFingerprintOffset = 1282;  // in the extended read's payload
constexpr long kFingerprintMinPayload = 1383;
constexpr unsigned char kFingerprintMark = 0x43;  // 'C'
constexpr std::size_t kUidStatusBytes = 2;        // the card's status word after the UID

int capacityOf(std::size_t size)
{
    return static_cast<int>(std::min<std::size_t>(size, INT_MAX));
}

} // namespace

long luvaroCard::PICC_Reader_ID_Request()
{
    if (!m_handle)
        return luvaro::kNotOpen;
    // Only the status byte matters. The status of a fetch that failed is
    // unknown, so that is reported, not read as a card.
    unsigned char reply[luvaro::kReportSize];
    const int result = exchangeRequest(kFind, nullptr, 0, reply);
    if (result != luvaro::kOk)
        return result;
    return reply[luvaro::kStatusOffset] == luvaro::kStatusOk ? luvaro::kOk : luvaro::kNoCard;
}

long luvaroCard::PICC_Reader_ID_Select()
{
    if (!m_handle)
        return luvaro::kNotOpen;
    unsigned char reply[luvaro::kReportSize];
    const int result = exchangeRequest(kSelect, nullptr, 0, reply);
    if (result != luvaro::kOk)
        return result;
    return reply[luvaro::kStatusOffset] == kStatusNotSelected ? luvaro::kNoCard : luvaro::kOk;
}

long luvaroCard::PICC_Reader_ID_Read(unsigned char *buffer, std::size_t capacity)
{
    return readRequest(kRead, buffer, capacityOf(capacity));
}

long luvaroCard::PICC_Reader_ID_Read2(unsigned char *buffer, std::size_t capacity)
{
    return readRequest(kReadExtended, buffer, capacityOf(capacity));
}

long luvaroCard::luvaro_USB_ReadIDCard(int mode, const char *photoPath, IDINFO *record, char *message,
                                       std::size_t messageSize)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    if (!record)
        return luvaro::kBadParameter;
    const auto fail = [&](const char *format, long code) {
        if (message && messageSize > 0)
            std::snprintf(message, messageSize, format, code);
        return luvaro::kIdCardReadFailed;
    };

    long result = PICC_Reader_ID_Request();
    if (result != 0)
        return fail("身份证寻卡失败，返回值 t_nRe = %ld", result);
    result = PICC_Reader_ID_Select();
    if (result != 0)
        return fail("身份证选卡失败，返回值 t_nRe = %ld", result);

    // Zeroed, so a short payload reads as empty fields, never as stale bytes.
    unsigned char reply[kIdReplyBufferSize] = {};
    const bool extended = mode == 1;
    const long length = extended ? PICC_Reader_ID_Read2(reply, sizeof reply) : PICC_Reader_ID_Read(reply, sizeof reply);
    if (length < 0)
        return fail("身份证读卡失败，返回值 t_nRe = %ld", length);

    std::printf("开始解析身份证数据\n");
    std::fflush(stdout);
    const std::size_t textAt = extended ? kExtendedSkip : 0;
    Analysis(0, photoPath, record, reply + textAt);
    std::memcpy(record->wlt, reply + textAt + kIdTextBlockSize, sizeof record->wlt);
    if (extended && length >= kFingerprintMinPayload && reply[kFingerprintOffset] == kFingerprintMark)
        std::memcpy(record->fingerprint, reply + kFingerprintOffset, sizeof record->fingerprint);
    return luvaro::kOk;
}

long luvaroCard::luvaro_USB_ReadIDCardUid(char *out, std::size_t outSize)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    if (!out || outSize == 0)
        return luvaro::kBadParameter;
    unsigned char reply[kIdReplyBufferSize] = {};
    const int length = readRequest(kChipUid, reply, sizeof reply);
    if (length < 0)
        return length;
    // Shorter payloads than the status word carry no UID.
    if (length <= static_cast<int>(kUidStatusBytes))
        return luvaro::kOk;
    const int uidBytes = length - static_cast<int>(kUidStatusBytes);
    // No UID is that long: a reply we cannot trust.
    if (static_cast<std::size_t>(2 * uidBytes) >= outSize)
        return luvaro::kTransferFailed;
    luvaro::writeHex(reply, uidBytes, out, capacityOf(outSize), luvaro::HexEnd::None);
    return luvaro::kOk;
}
