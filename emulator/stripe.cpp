// The magnetic-stripe head as the reader's firmware runs it: a read that
// waits for a swipe while the host polls, and the format block.

#include "stripe.h"

#include "families.h"

#include <algorithm>
#include <cstring>

namespace dorvent::emulator {
namespace {

constexpr char kSentinelStart[3] = {'%', ';', ';'};
constexpr char kSentinelEnd = '?';
constexpr char kFieldSeparators[] = "^=";
constexpr std::uint8_t kCarriageReturn = 0x0D;
constexpr std::uint8_t kLineFeed = 0x0A;

// Output contents of the format block.
constexpr std::uint8_t kEverything = 0;   // sentinels included
[[maybe_unused]] constexpr std::uint8_t kNoSentinels = 1; // the characters between them
constexpr std::uint8_t kDataOnly = 2;     // ... without the field separators

struct Selection
{
    std::uint8_t code;
    bool tracks[3];
};
constexpr Selection kSelections[] = {
    {1, {true, false, false}},
    {2, {false, true, false}},
    {3, {false, false, true}},
    {4, {false, true, true}},
};
constexpr Selection kAllTracks = {0, {true, true, true}};

const Selection &selectionOf(std::uint8_t code, std::uint8_t fallback)
{
    for (const Selection &s : kSelections)
        if (s.code == code)
            return s;
    for (const Selection &s : kSelections)
        if (s.code == fallback)
            return s;
    return kAllTracks;
}

} // namespace

constexpr std::size_t StripeCard::kMaxTrackLength[3];

bool StripeCard::valid() const
{
    for (int t = 0; t < 3; ++t) {
        if (tracks[t].size() > kMaxTrackLength[t])
            return false;
        for (char c : tracks[t]) {
            const bool inAlphabet = t == 0 ? c >= 0x20 && c <= 0x5F : c >= 0x30 && c <= 0x3F;
            if (!inAlphabet || c == kSentinelStart[t] || c == kSentinelEnd)
                return false;
        }
    }
    return true;
}

Bytes StripeHead::output(const StripeCard &card, std::uint8_t selection) const
{
    const Selection &chosen = selectionOf(selection, format[1]);
    const std::uint8_t content = format[2];
    Bytes out;
    for (int t = 0; t < 3; ++t) {
        if (!chosen.tracks[t] || card.tracks[t].empty())
            continue;
        if (content == kEverything) {
            out.push_back(std::uint8_t(kSentinelStart[t]));
        } else if (!out.empty()) {
            out.push_back(' ');
        }
        for (char c : card.tracks[t])
            if (content != kDataOnly || !std::strchr(kFieldSeparators, c))
                out.push_back(std::uint8_t(c));
        if (content == kEverything)
            out.push_back(std::uint8_t(kSentinelEnd));
    }
    if (!out.empty() && format[3] != 0) {
        out.push_back(kCarriageReturn);
        out.push_back(kLineFeed);
    }
    return out;
}

StripeCard demoStripeCard()
{
    StripeCard card;
    card.tracks[0] = "B6222021234567890^DORVENT/DEMO^25121010000000000000";
    card.tracks[1] = "6222021234567890=25121010000012345";
    card.tracks[2] = "996222021234567890=1561560000000000000003000000114000025120=000000000000=000000000000=0";
    return card;
}

namespace {

StripeHead &headOf(Firmware &firmware) { return firmware.unit<StripeHead>(); }

// A card the head read: its output, or a read error (status 0x01) when the
// stripe could not be decoded or the selected tracks carry nothing.
Reply swipeReply(const StripeHead &head, const StripeCard &card, std::uint8_t selection)
{
    if (!card.readable)
        return Reply::failed(status::kFailed);
    const Bytes out = head.output(card, selection);
    return out.empty() ? Reply::failed(status::kFailed) : Reply::ok(out);
}

// A fetch while the host polls a waiting read.
Reply poll(Firmware &firmware)
{
    StripeHead &head = headOf(firmware);
    if (!head.waiting)
        return Reply::none();
    if (head.swipes.empty())
        return Reply::failed(status::kBusy);
    if (head.swipes.front().afterPolls > 0) {
        --head.swipes.front().afterPolls;
        return Reply::failed(status::kBusy);
    }
    const StripeCard card = head.swipes.front().card;
    head.swipes.pop_front();
    head.waiting = false;
    firmware.setIdleAnswer(nullptr);
    return swipeReply(head, card, head.readSelection);
}

// Track selection, time limit (the host keeps the time itself).
Reply swipeRead(Firmware &firmware, const Request &request)
{
    StripeHead &head = headOf(firmware);
    head.readSelection = request.params[0];
    if (!head.swipes.empty() && head.swipes.front().afterPolls == 0) {
        const StripeCard card = head.swipes.front().card;
        head.swipes.pop_front();
        head.waiting = false;
        firmware.setIdleAnswer(nullptr);
        return swipeReply(head, card, head.readSelection);
    }
    head.waiting = true;
    firmware.setIdleAnswer(poll);
    return Reply::failed(status::kBusy);
}

Reply cancelWait(Firmware &firmware, const Request &request)
{
    if (request.params.size() != 1)
        return Reply::failed();
    headOf(firmware).waiting = false;
    firmware.setIdleAnswer(nullptr);
    return Reply::ok();
}

Reply setFormat(Firmware &firmware, const Request &request)
{
    if (request.params.size() != 4)
        return Reply::failed();
    std::copy(request.params.begin(), request.params.end(), headOf(firmware).format.begin());
    return firmware.acknowledge();
}

Reply queryFormat(Firmware &firmware, const Request &)
{
    const auto &format = headOf(firmware).format;
    return Reply::ok(Bytes(format.begin(), format.end()));
}

// The swipe read says L = 2 for its command and two bytes.
constexpr CommandEntry kCommands[] = {
    {0x30, "swipe read", swipeRead, {/*lField*/ 2, /*params*/ 2, nullptr, /*checksumFrom*/ 1}},
    {0xB3, "cancel the swipe wait", cancelWait, {}},
    {0x3F, "set stripe format", setFormat, {}},
    {0x3E, "query stripe format", queryFormat, {}},
};

} // namespace

void installStripeCommands(CommandTable &table)
{
    table.add(kCommands);
}

} // namespace dorvent::emulator
