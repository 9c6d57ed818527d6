// The reader's transport: HID feature reports over control transfers, and the
// reader frame split over them.
//
// Every transfer is one 32-byte report on interface 0, timeout 1000 ms:
//
//   request  SET_REPORT  bmRequestType 0x21  bRequest 0x09  wValue 0x0000  wIndex 0  wLength 32
//   reply    GET_REPORT  bmRequestType 0xA1  bRequest 0x01  wValue 0x3000  wIndex 0  wLength 32
//
// (wValue 0x3000, not the 0x0300 a HID feature report would use: the reader
// answers to these words only.)
//
// The frame itself and its building are in frame.h.
//
// A frame of up to 32 bytes is one zero-filled report. A longer one goes out
// as frame bytes 0..31 with marker 0x82, then reports of marker + 31 frame
// bytes, the last with marker 0x02:
//
//   report 1:  82 | frame[1..31]      (header, then payload bytes 0..26)
//   report 2:  82 | frame[32..62]     (while more than 31 bytes remain)
//   report n:  02 | frame[...end]     (1 to 31 bytes, the rest not significant)
//
// Trace, beep (one report each way; setup fields, then the 32 data bytes):
//   -> SET 21 09 0000 0000 0020  02 08 00 02 00 B2 32 8A 00 .. 00
//                                |  |  |  +---+ |  |  +- checksum: 08^00^02^00^B2^32
//                                |  |  |  L = 2 |  +- beep length
//                                |  |  00       +- command B2: beep
//                                |  +- request
//                                +- marker: last report of the frame
//   <- GET A1 01 3000 0000 0020  02 02 00 00 00 02 00 .. 00
//                                   |  |  +---+ +- checksum: 02^00^00^00
//                                   |  |  L = 0
//                                   |  +- status: success
//                                   +- reply
//
// Trace, version with a 34-byte text (the reply spans two reports):
//   -> SET  02 08 00 01 00 10 11 00 .. 00       (this checksum covers offsets 2..5)
//   <- GET  82 02 00 22 00 4C 56 2D 45 .. 64    (L=34: "LV-E" .. "ed", payload bytes 0..26)
//   <- GET  02 20 72 65 61 64 65 72 35 00 .. 00 (" reader", payload bytes 27..33, checksum 35)
//
// Trace, a contactless APDU (86 00 00 then the command APDU) whose card asks
// for more time once:
//   -> SET  02 08 00 08 00 86 00 00 00 84 00 00 04 06   (GET CHALLENGE, 4 bytes)
//   <- GET  02 02 00 03 00 00 F2 01 F2                  (payload 00, S-block WTX F2, WTXM 01)
//   -> SET  02 08 00 04 00 86 01 F2 01 78               (block control 01: pass F2 01 back as an S-block)
//   <- GET  02 02 00 08 00 00 02 A1 B2 C3 D4 90 00 ..   (payload 00, I-block 02, answer A1B2C3D4 9000)
// The answer proper is the L - 2 bytes after the block byte.
//
// Replies are read from the reader's side of the split: after the first
// report, continuation reports are fetched while 32 or more bytes are still
// due, then one more. A reply's length field is never trusted: only what
// arrived and fits the caller's buffer is copied, the rest of a long reply
// is still fetched (and dropped) so the next exchange starts clean.
//
// A reply is checked by its structure before anything reaches the caller: the
// first report must carry a marker and the reply tag (as far as its command
// reads them, below), every continuation a marker (0x82 while more is due),
// and a reply ending in one report must hold the bytes its length promises. Otherwise the exchange failed (-15) and the
// caller's buffer is left as it was: a glitch never reads as an empty success.
// The reply checksum is not checked; readers are known not to fill it alike.
//
// A single-report reply is read no further than its command needs. Where the
// host takes nothing from it, bytes 3 and 4 are not a length it must hold:
// readers answer a Type A request with 02 02 00 02 00 04 00 (a length) or
// with 02 02 00 02 04 00 (a count and data), both fine. Readers also differ
// in the first bytes of a few replies, which are read only as far as they
// agree: the version's and the ISO 15693 block read's by the tag alone, the
// contact power-on's not at all (its count and status tell an answer).
//
// A reader answering busy is fetched again: GetUsbMsg pauses kBusyPauseMs
// between fetches, at most kMaxBusyWaits times (ten seconds);
// HDRead_PICCReader fetches again at once, at most kMaxBusyRefetches times
// (a few seconds on a full-speed bus). A reader still busy then is given up
// on with -20, the code of a reply whose status is not 0x00.
//
// Whatever the card and reader ask for, one exchange ends within
// kExchangeDeadlineMs (20 s): twice the longest busy wait a single fetch is
// given, so a slow card operation fits, while a card asking for more time
// again and again (32 extensions after 4,999 busy answers each took over
// three minutes) cannot hold the service. Time is counted both on the clock
// and as the pauses asked for plus one millisecond per immediate refetch (a
// full-speed bus moves one control transfer per frame at best), so the bound
// holds whichever runs out first. Past it the exchange fails with -20; the
// next request starts a new exchange, which the reader takes as usual.

#include "luvarocard.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr std::uint8_t kSetReportRequestType = 0x21; // class, interface, host to device
constexpr std::uint8_t kGetReportRequestType = 0xA1; // class, interface, device to host
constexpr std::uint8_t kSetReport = 0x09;
constexpr std::uint8_t kGetReport = 0x01;
constexpr std::uint16_t kSetReportValue = 0x0000;
constexpr std::uint16_t kGetReportValue = 0x3000;
constexpr std::uint16_t kInterfaceIndex = 0;
constexpr unsigned kTransferTimeoutMs = 1000;

using luvaro::kContinuationData;
using luvaro::kCountOffset;
using luvaro::kHeaderSize;
using luvaro::kMarkerLast;
using luvaro::kMarkerMore;
using luvaro::kReportSize;
using luvaro::kStatusBusy;
using luvaro::kStatusOk;
using luvaro::replyLength;
constexpr int kMaxSingleReportData = 25; // n + 7 frame bytes must fit one report
// The answer to a card's WTX request: 02 08 00 04 00 86 01 <block byte> <WTXM> checksum.
// Block control 0x01 tells the reader to pass the two bytes on as an S-block
// (0x00, in an APDU frame, wraps the data in an I-block).
constexpr unsigned char kContactlessCommand = 0x86;
constexpr unsigned char kWtxBlockControl = 0x01;

void sleepMilliseconds(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

luvaroCard::SleepFunction g_sleep = &sleepMilliseconds;

constexpr int kExchangeDeadlineMs = 20000;
constexpr int kRefetchCostMs = 1;

// The time one exchange has taken, on the clock and as charged by its waits.
class ExchangeDeadline
{
public:
    // Charges ms to the exchange; false once that takes it past the deadline.
    bool charge(int ms)
    {
        m_chargedMs += ms;
        return m_chargedMs <= kExchangeDeadlineMs
               && std::chrono::steady_clock::now() - m_start
                      <= std::chrono::milliseconds(kExchangeDeadlineMs);
    }

private:
    const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
    int m_chargedMs = 0;
};

int g_lastTransferError = 0;
luvaroCard::TransferObserver *g_transferObserver = nullptr;

// One feature-report transfer of kReportSize bytes in either direction: the
// bytes moved, or libusb's own error (0 moved is LIBUSB_ERROR_IO), which the
// callers fold into -15 and keep in g_lastTransferError for the log.
int featureTransfer(libusb_device_handle *handle, std::uint8_t requestType, std::uint8_t request,
                    std::uint16_t value, unsigned char *report)
{
    const int moved = libusb_control_transfer(handle, requestType, request, value, kInterfaceIndex,
                                              report, kReportSize, kTransferTimeoutMs);
    g_lastTransferError = moved > 0 ? 0 : moved < 0 ? moved : LIBUSB_ERROR_IO;
    const int result = moved > 0 ? moved : g_lastTransferError;
    const bool set = requestType == kSetReportRequestType;
    // A failed fetch leaves zeros, never what an earlier reply left there.
    if (!set && result < 0)
        std::memset(report, 0, kReportSize);
    if (g_transferObserver)
        g_transferObserver->transferred(set, report, result);
    return result;
}

} // namespace

unsigned char flagLong = 0;
unsigned char longtimedata[2] = {0, 0};

luvaroCard::SleepFunction luvaroCard::setSleepFunction(SleepFunction sleep)
{
    const SleepFunction previous = g_sleep;
    g_sleep = sleep ? sleep : &sleepMilliseconds;
    return previous;
}

void luvaroCard::pause(int milliseconds)
{
    g_sleep(milliseconds);
}

int luvaroCard::lastTransferError()
{
    return g_lastTransferError;
}

luvaroCard::TransferObserver *luvaroCard::setTransferObserver(TransferObserver *observer)
{
    TransferObserver *const previous = g_transferObserver;
    g_transferObserver = observer;
    return previous;
}

int luvaroCard::HidD_SetFeature(libusb_device_handle *handle, const unsigned char *report, int len)
{
    if (!handle)
        return luvaro::kNotOpen;
    if (!report || len < 1)
        return luvaro::kBadParameter;
    unsigned char buffer[kReportSize] = {};
    std::memcpy(buffer, report, std::min(len, kReportSize));
    const int moved = featureTransfer(handle, kSetReportRequestType, kSetReport, kSetReportValue, buffer);
    return moved < 0 ? luvaro::kTransferFailed : moved;
}

int luvaroCard::HidD_GetFeature(libusb_device_handle *handle, unsigned char *report, int len)
{
    if (!handle)
        return luvaro::kNotOpen;
    if (!report || len < 1)
        return luvaro::kBadParameter;
    unsigned char buffer[kReportSize] = {};
    const int moved = featureTransfer(handle, kGetReportRequestType, kGetReport, kGetReportValue, buffer);
    std::memcpy(report, buffer, std::min(len, kReportSize));
    return moved < 0 ? luvaro::kTransferFailed : moved;
}

int luvaroCard::SetUsbMsg(libusb_device_handle *handle, const unsigned char *frame, int len)
{
    if (!handle)
        return luvaro::kNotOpen;
    if (!frame || len < 1)
        return luvaro::kBadParameter;

    unsigned char report[kReportSize] = {};
    if (len <= kReportSize) {
        std::memcpy(report, frame, len);
        report[0] = kMarkerLast;
        return HidD_SetFeature(handle, report, kReportSize) < 0 ? luvaro::kTransferFailed : luvaro::kOk;
    }

    std::memcpy(report, frame, kReportSize);
    report[0] = kMarkerMore;
    if (HidD_SetFeature(handle, report, kReportSize) < 0)
        return luvaro::kTransferFailed;
    int sent = kReportSize;
    while (sent < len) {
        const int chunk = std::min(len - sent, kContinuationData);
        std::memset(report, 0, sizeof report);
        report[0] = len - sent > kContinuationData ? kMarkerMore : kMarkerLast;
        std::memcpy(report + 1, frame + sent, chunk);
        if (HidD_SetFeature(handle, report, kReportSize) < 0)
            return luvaro::kTransferFailed;
        sent += chunk;
    }
    return luvaro::kOk;
}

int luvaroCard::HDRead_Write_new(libusb_device_handle *handle, const unsigned char *frame, int len)
{
    return SetUsbMsg(handle, frame, len);
}

int luvaroCard::collectPayload(libusb_device_handle *handle, const unsigned char *first, int offset,
                               int want, unsigned char *out, int outCapacity, int *copied)
{
    *copied = 0;
    if (!luvaro::isReplyStart(first))
        return luvaro::kTransferFailed;
    // Held back until the whole reply has arrived whole.
    std::vector<unsigned char> kept;
    const auto append = [&](const unsigned char *from, int count) {
        count = std::min(count, std::max(0, outCapacity - static_cast<int>(kept.size())));
        if (count > 0)
            kept.insert(kept.end(), from, from + count);
    };
    const int inFirst = kReportSize - offset;
    if (first[0] == kMarkerLast) {
        if (!luvaro::fitsFirstReport(want))
            return luvaro::kTransferFailed;
        append(first + offset, std::min(want, inFirst));
    } else {
        append(first + offset, std::min(want, inFirst));
        int due = want - inFirst;
        unsigned char report[kReportSize];
        while (due >= kReportSize) {
            // More is due, so the reader's marker must say so.
            if (HidD_GetFeature(handle, report, kReportSize) < 0 || report[0] != kMarkerMore)
                return luvaro::kTransferFailed;
            append(report + 1, kContinuationData);
            due -= kContinuationData;
        }
        // The reader always sends one more report, even when nothing is due.
        if (HidD_GetFeature(handle, report, kReportSize) < 0
            || (report[0] != kMarkerMore && report[0] != kMarkerLast))
            return luvaro::kTransferFailed;
        if (due > 0)
            append(report + 1, due);
    }
    if (!kept.empty())
        std::memcpy(out, kept.data(), kept.size());
    *copied = static_cast<int>(kept.size());
    return luvaro::kOk;
}

int luvaroCard::GetUsbMsg(libusb_device_handle *handle, unsigned char *out, int *outLen,
                          int outCapacity)
{
    if (!handle)
        return luvaro::kNotOpen;
    if (!outLen || outCapacity < 0 || (!out && outCapacity > 0))
        return luvaro::kBadParameter;
    *outLen = 0;

    ExchangeDeadline deadline;
    unsigned char report[kReportSize];
    if (HidD_GetFeature(handle, report, kReportSize) < 0)
        return luvaro::kTransferFailed;
    for (int waits = 0; report[luvaro::kStatusOffset] == kStatusBusy; ++waits) {
        if (waits == kMaxBusyWaits || !deadline.charge(kBusyPauseMs))
            return luvaro::kStatusError;
        g_sleep(kBusyPauseMs);
        if (HidD_GetFeature(handle, report, kReportSize) < 0)
            return luvaro::kTransferFailed;
    }
    if (report[luvaro::kStatusOffset] != kStatusOk)
        return luvaro::kStatusError;

    int copied = 0;
    const int result = collectPayload(handle, report, kHeaderSize, replyLength(report), out,
                                      outCapacity, &copied);
    if (result != luvaro::kOk)
        return result;
    *outLen = copied;
    return luvaro::kOk;
}

int luvaroCard::HDRead_PICCReader(libusb_device_handle *handle, unsigned char *out, int *outLen,
                                  int outCapacity)
{
    // The card's answer follows the reply's first two payload bytes.
    constexpr int kAnswerOffset = kHeaderSize + 2;
    if (!handle)
        return luvaro::kNotOpen;
    if (!outLen || outCapacity < 0 || (!out && outCapacity > 0))
        return luvaro::kBadParameter;
    *outLen = 0;

    ExchangeDeadline deadline;
    unsigned char report[kReportSize];
    const auto fetchReply = [&]() {
        if (HidD_GetFeature(handle, report, kReportSize) < 0)
            return luvaro::kTransferFailed;
        for (int refetches = 0; report[luvaro::kStatusOffset] == kStatusBusy; ++refetches) {
            if (refetches == kMaxBusyRefetches || !deadline.charge(kRefetchCostMs))
                return luvaro::kStatusError;
            if (HidD_GetFeature(handle, report, kReportSize) < 0)
                return luvaro::kTransferFailed;
        }
        if (!luvaro::isReplyStart(report))
            return luvaro::kTransferFailed;
        return report[luvaro::kStatusOffset] == kStatusOk ? luvaro::kOk : luvaro::kStatusError;
    };
    int result = fetchReply();
    // The card asks for more time (an S-block WTX, block byte 0xF_): the
    // request is answered with the block byte and parameter it carried, and
    // the card's next reply is read instead, as often as it asks, up to a bound.
    for (int extensions = 0; result == luvaro::kOk && (report[6] & 0xF0) == 0xF0; ++extensions) {
        flagLong = 1;
        longtimedata[0] = report[6];
        longtimedata[1] = report[7];
        if (extensions == kMaxWaitingTimeExtensions) {
            result = luvaro::kStatusError;
            break;
        }
        if (!deadline.charge(kRefetchCostMs)) {
            result = luvaro::kStatusError;
            break;
        }
        const unsigned char answer[] = {kWtxBlockControl, longtimedata[0], longtimedata[1]};
        unsigned char frame[kReportSize];
        const int frameLen = luvaro::buildRequest(kContactlessCommand, answer, sizeof answer, frame,
                                                  sizeof frame);
        result = HDRead_Write_new(handle, frame, frameLen);
        if (result == luvaro::kOk)
            result = fetchReply();
    }
    flagLong = 0;
    if (result != luvaro::kOk)
        return result;

    // L counts the two skipped bytes, so L bytes from the answer's start run
    // two past it: only the answer itself is kept.
    const int length = replyLength(report);
    int copied = 0;
    result = collectPayload(handle, report, kAnswerOffset, length, out, outCapacity, &copied);
    if (result != luvaro::kOk)
        return result;
    const int answer = std::min(length - 2, copied);
    *outLen = answer < 0 ? length : answer + 2;
    return luvaro::kOk;
}

int luvaroCard::exchangeReport(const unsigned char *frame, int frameLen, unsigned char *reply,
                               ReplyHeader header)
{
    std::memset(reply, 0, kReportSize);
    if (!m_handle)
        return luvaro::kNotOpen;
    if (frameLen > kReportSize)
        return luvaro::kBadParameter;
    if (HidD_SetFeature(m_handle, frame, frameLen) < 0)
        return luvaro::kTransferFailed;
    if (HidD_GetFeature(m_handle, reply, kReportSize) < 0)
        return luvaro::kTransferFailed;
    const bool headerHolds = header == ReplyHeader::Unread
                             || (header == ReplyHeader::TagOnly ? reply[1] == luvaro::kReplyTag
                                                                : luvaro::isReplyStart(reply));
    return headerHolds ? luvaro::kOk : luvaro::kTransferFailed;
}

int luvaroCard::PICC_Reader_SetMsg(unsigned char cmd, const unsigned char *data, int len,
                                   unsigned char *out, int outCapacity)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    if (len < 0 || len > kMaxSingleReportData || (len > 0 && !data) || outCapacity < 0
        || (!out && outCapacity > 0))
        return luvaro::kBadParameter;

    unsigned char reply[kReportSize];
    const int result = singleExchange(cmd, data, len, reply);
    if (result != luvaro::kOk)
        return result;
    // Bytes 3 and 4 are a length only to a caller that takes the payload:
    // other readers answer with a count and data there (02 02 00 01 08).
    if (outCapacity == 0)
        return 0;
    if (!luvaro::fitsFirstReport(replyLength(reply)))
        return luvaro::kTransferFailed;
    const int n = std::min(replyLength(reply), outCapacity);
    if (n > 0)
        std::memcpy(out, reply + kHeaderSize, n);
    return n;
}

int luvaroCard::exchangeRequest(unsigned char command, const unsigned char *params, int n,
                                unsigned char *reply, ReplyHeader header)
{
    unsigned char frame[kReportSize] = {};
    const int frameLen = luvaro::buildRequest(command, params, n, frame, sizeof frame);
    if (frameLen < 0) {
        std::memset(reply, 0, kReportSize);
        return frameLen;
    }
    return exchangeReport(frame, frameLen, reply, header);
}

int luvaroCard::singleExchange(unsigned char command, const unsigned char *params, int n,
                               unsigned char *reply)
{
    const int result = exchangeRequest(command, params, n, reply);
    if (result != luvaro::kOk)
        return result == luvaro::kNotOpen || result == luvaro::kBadParameter ? result : luvaro::kTransferFailed;
    if (!luvaro::isSingleReply(reply))
        return luvaro::kTransferFailed;
    return reply[luvaro::kStatusOffset] == kStatusOk ? luvaro::kOk : luvaro::kSingleStatusError;
}

int luvaroCard::frameExchange(const unsigned char *frame, int frameLen, unsigned char *out,
                              int outCapacity, int *outLen)
{
    const int sent = SetUsbMsg(m_handle, frame, frameLen);
    if (sent < 0)
        return sent;
    return GetUsbMsg(m_handle, out, outLen, outCapacity);
}

int luvaroCard::readRequest(unsigned char command, unsigned char *out, int outCapacity)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    unsigned char frame[kReportSize] = {};
    const int frameLen = luvaro::buildRequest(command, nullptr, 0, frame, sizeof frame);
    int length = 0;
    const int received = frameExchange(frame, frameLen, out, outCapacity, &length);
    return received < 0 ? received : length;
}

int luvaroCard::countedHexCommand(unsigned char command, const unsigned char *params, int n,
                                  int refusedCode, bool checkHeader, luvaro::HexEnd end,
                                  char *hex, int size)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    unsigned char reply[kReportSize];
    const int result = exchangeRequest(command, params, n, reply,
                                       checkHeader ? ReplyHeader::MarkerAndTag : ReplyHeader::Unread);
    if (result != luvaro::kOk)
        return result == luvaro::kBadParameter ? result : luvaro::kTransferFailed;
    if (checkHeader && !luvaro::isSingleReply(reply))
        return luvaro::kTransferFailed;
    if (reply[luvaro::kStatusOffset] != kStatusOk)
        return refusedCode;
    // A count beyond the report promises bytes that never came.
    const int count = reply[kCountOffset];
    if (count > kReportSize - (kCountOffset + 1) || (!checkHeader && count == 0))
        return luvaro::kTransferFailed;
    const int written = luvaro::writeHex(reply + kCountOffset + 1, count, hex, size, end);
    return written < 0 ? written : luvaro::kOk;
}

int luvaroCard::simpleCommand(unsigned char command, const unsigned char *params, int n)
{
    unsigned char none[1];
    const int result = PICC_Reader_SetMsg(command, params, n, none, 0);
    return result < 0 ? result : luvaro::kOk;
}
