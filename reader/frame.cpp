#include "frame.h"

#include "resultcodes.h"

#include <cstring>

namespace luvaro {
namespace {

constexpr int kLFromParams = -1; // L = n + 1

// Requests the reader takes only as it always got them: their L field says
// 1 or 2 whatever follows, or their checksum leaves out the request tag.
// The checksum still stands right after the last byte sent.
struct RequestRule
{
    unsigned char command;
    int lField;
    int checksumFrom;
};

constexpr RequestRule kRequestRules[] = {
    {0x10, kLFromParams, 2}, // version
    {0x73, 1, 2},            // contact power-off: slot byte after the command
    {0x30, 2, 1},            // swipe read: mode and time limit after the command
    {0x91, 1, 1},            // ISO 15693 read block
    {0x92, 1, 1},            // ISO 15693 write block
    {0x93, 1, 1},            // ISO 15693 write / lock AFI
    {0x94, 1, 1},            // ISO 15693 write / lock DSFID
    {0x95, 1, 1},            // ISO 15693 lock block
};

constexpr RequestRule kCommonRule = {0, kLFromParams, 1};

const RequestRule &ruleOf(unsigned char command)
{
    for (const RequestRule &rule : kRequestRules)
        if (rule.command == command)
            return rule;
    return kCommonRule;
}

} // namespace

unsigned char xorOf(const unsigned char *bytes, int from, int to)
{
    unsigned char x = 0;
    for (int i = from; i <= to; ++i)
        x ^= bytes[i];
    return x;
}

int buildRequest(unsigned char command, const unsigned char *params, int n, unsigned char *frame,
                 int capacity)
{
    // In 64 bits: n is the caller's and may be anything.
    const long long frameLen = kHeaderSize + 1LL + n + 1;
    if (n < 0 || (n > 0 && !params) || !frame || frameLen > capacity || n + 1LL > 0xFFFF)
        return kBadParameter;
    const RequestRule &rule = ruleOf(command);
    const int length = rule.lField == kLFromParams ? n + 1 : rule.lField;
    frame[0] = kMarkerLast;
    frame[1] = kRequestTag;
    frame[2] = 0x00;
    frame[3] = static_cast<unsigned char>(length & 0xFF);
    frame[4] = static_cast<unsigned char>(length >> 8);
    frame[5] = command;
    if (n > 0)
        std::memmove(frame + kHeaderSize + 1, params, n);
    frame[frameLen - 1] = xorOf(frame, rule.checksumFrom, static_cast<int>(frameLen - 2));
    return static_cast<int>(frameLen);
}

int replyLength(const unsigned char *report)
{
    return report[3] | report[4] << 8;
}

bool isSingleReply(const unsigned char *report)
{
    return report[0] == kMarkerLast && report[1] == kReplyTag;
}

bool isReplyStart(const unsigned char *report)
{
    return (report[0] == kMarkerLast || report[0] == kMarkerMore) && report[1] == kReplyTag;
}

bool fitsFirstReport(int want)
{
    return want >= 0 && kHeaderSize + want <= kReportSize;
}

} // namespace luvaro
