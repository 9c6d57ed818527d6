// The magnetic-stripe head: a swipe read that waits for a card within a time
// limit, and the format block that says what the reader makes of a swipe.
//
// A swipe read is a request and one answer; while the reader is still
// waiting for a card it answers status 0x16, and the driver then fetches
// further answers with nothing sent (one every kSwipePollMs) until the card
// comes or the time is up. 0x16 here means "no card yet", not a busy reader:
// these fetches never go through GetUsbMsg's busy waits.
//
// Trace, swipe read of track selection 1 with 10 s, card swiped on the second poll:
//   -> SET  02 08 00 02 00 30 01 0A 31    (L = 2 although three bytes follow)
//   <- GET  02 02 16 00 00 ..             waiting
//   <- GET  02 02 16 00 00 ..             poll 1: waiting
//   <- GET  82 02 00 28 00 3B 36 32 ..    poll 2: 40 bytes, 27 in this report
//   <- GET  02 32 35 31 ..                the other 13
// Trace, the wait given up:
//   -> SET  02 08 00 02 00 B3 02 BB
//   <- GET  02 02 00 00 00 02 ..          not used
//
// The answer's length field is two bytes, the swipe's at most one: an answer
// of more than 255 bytes is no swipe and is refused as a read error.

#include "luvarocard.h"

#include <cstring>

namespace {

constexpr unsigned char kSwipeRead = 0x30;
constexpr unsigned char kCancelWait = 0xB3;
constexpr unsigned char kCancelParam = 0x02;
constexpr unsigned char kSetFormat = 0x3F;
constexpr unsigned char kQueryFormat = 0x3E;

constexpr unsigned char kStatusCardError = 0x01;
constexpr unsigned char kActiveOutput = 0xA5;  // type 0: the reader sends what is swiped
constexpr unsigned char kPassiveOutput = 0xA4; // type 1: the host asks
constexpr unsigned char kNoOutputMode = 0x00;
constexpr int kFormatBlockSize = 4;

constexpr int kReportSize = luvaro::kReportSize;
constexpr int kMillisecondsPerSecond = 1000;

// The swipe's bytes as hex into the caller's buffer: 0, or -14 when they would not fit.
int deliverSwipe(const luvaroCard::SwipeWait &wait, char *dataHex, int size)
{
    const int written = luvaro::writeHex(wait.data, wait.len, dataHex, size, luvaro::HexEnd::None);
    return written < 0 ? written : luvaro::kOk;
}

} // namespace

int luvaroCard::swipeData(const unsigned char *first, unsigned char *len, unsigned char *data,
                          int capacity)
{
    const int want = first[0] == luvaro::kMarkerMore ? luvaro::replyLength(first) : first[3];
    int copied = 0;
    if (want > kMaxSwipeBytes) {
        // Every report of it is still fetched, so the next exchange starts clean.
        collectPayload(m_handle, first, luvaro::kHeaderSize, want, nullptr, 0, &copied);
        return luvaro::kFailed;
    }
    if (collectPayload(m_handle, first, luvaro::kHeaderSize, want, data, capacity, &copied) != luvaro::kOk)
        return luvaro::kFailed;
    *len = static_cast<unsigned char>(copied);
    return luvaro::kOk;
}

int luvaroCard::Rcard1(unsigned char timeout, int mode, unsigned char *len, char *data, int capacity)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    if (!len || !data || capacity < 0)
        return luvaro::kBadParameter;
    *len = 0;
    const unsigned char params[] = {static_cast<unsigned char>(mode & 0xFF), timeout};
    unsigned char reply[kReportSize];
    if (exchangeRequest(kSwipeRead, params, sizeof params, reply) != luvaro::kOk)
        return luvaro::kFailed;
    const unsigned char status = reply[luvaro::kStatusOffset];
    if (status != luvaro::kStatusOk)
        return status == luvaro::kStatusBusy ? luvaro::kNoCardResponse : luvaro::kFailed;
    if (reply[0] != luvaro::kMarkerLast && reply[0] != luvaro::kMarkerMore)
        return luvaro::kOk;
    return swipeData(reply, len, reinterpret_cast<unsigned char *>(data), capacity);
}

int luvaroCard::ICC_PassCheck1(unsigned char *len, unsigned char *data, int capacity)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    if (!len || !data || capacity < 0)
        return luvaro::kBadParameter;
    *len = 0;
    unsigned char reply[kReportSize];
    if (HidD_GetFeature(m_handle, reply, kReportSize) < 0)
        return luvaro::kFailed;
    const unsigned char status = reply[luvaro::kStatusOffset];
    if (status == kStatusCardError)
        return luvaro::kFailed;
    if (status != luvaro::kStatusOk || (reply[0] & 0x7F) != luvaro::kMarkerLast)
        return luvaro::kNoCard;
    return swipeData(reply, len, data, capacity);
}

int luvaroCard::ICC_GetTimeOut(unsigned char param)
{
    unsigned char reply[kReportSize];
    return exchangeRequest(kCancelWait, &param, 1, reply);
}

int luvaroCard::swipeBegin(SwipeWait &wait, unsigned char timeout, int mode, char *dataHex, int size)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    wait = SwipeWait();
    const int first = Rcard1(timeout, mode, &wait.len, reinterpret_cast<char *>(wait.data), sizeof wait.data);
    if (first == luvaro::kOk)
        return deliverSwipe(wait, dataHex, size);
    if (first == luvaro::kNotOpen || first == luvaro::kBadParameter)
        return first;
    wait.remainingMs = timeout * kMillisecondsPerSecond;
    if (wait.remainingMs == 0) {
        ICC_GetTimeOut(kCancelParam);
        return first;
    }
    // Whatever the first answer said, only the polls decide now.
    return kSwipePending;
}

int luvaroCard::swipePoll(SwipeWait &wait, char *dataHex, int size)
{
    const int poll = ICC_PassCheck1(&wait.len, wait.data, sizeof wait.data);
    if (poll == luvaro::kOk)
        return deliverSwipe(wait, dataHex, size);
    if (poll != luvaro::kNoCard)
        return poll;
    wait.remainingMs -= kSwipePollMs;
    if (wait.remainingMs > 0)
        return kSwipePending;
    ICC_GetTimeOut(kCancelParam);
    return luvaro::kNoCard;
}

int luvaroCard::swipeAbandon()
{
    if (!m_handle)
        return luvaro::kNotOpen;
    return ICC_GetTimeOut(kCancelParam);
}

int luvaroCard::luvaro_USB_MagInfo(unsigned char timeout, int mode, char *dataHex, int size)
{
    SwipeWait wait;
    int result = swipeBegin(wait, timeout, mode, dataHex, size);
    while (result == kSwipePending) {
        pause(kSwipePollMs);
        result = swipePoll(wait, dataHex, size);
    }
    return result;
}

int luvaroCard::luvaro_USB_SetMagType(int type, const unsigned char *setting)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    if (!setting)
        return luvaro::kBadParameter;
    const unsigned char mode = type == 0 ? kActiveOutput : type == 1 ? kPassiveOutput : kNoOutputMode;
    const unsigned char block[kFormatBlockSize] = {mode, setting[0], setting[1], setting[2]};
    const int result = PICC_Reader_SetMsg(kSetFormat, block, sizeof block, nullptr, 0);
    return result < 0 ? result : luvaro::kOk;
}

int luvaroCard::luvaro_USB_ReadMagType(unsigned char *setting)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    if (!setting)
        return luvaro::kBadParameter;
    // Only the block is taken, however long the reply says it is.
    const int result = PICC_Reader_SetMsg(kQueryFormat, nullptr, 0, setting, kFormatBlockSize);
    return result < 0 ? result : luvaro::kOk;
}
