#pragma once

#include "deck.h"
#include "firmware.h"

#include <array>
#include <cstdint>
#include <deque>
#include <string>

namespace dorvent::emulator {

// A card with a magnetic stripe: the characters of its three tracks between
// the start and end sentinels (% ... ? on track 1, ; ... ? on tracks 2 and
// 3); an empty track carries nothing. A stripe the head cannot decode
// (worn, swiped too fast) makes a read error.
class StripeCard : public Card
{
public:
    static constexpr std::size_t kMaxTrackLength[3] = {76, 37, 104};

    std::string tracks[3];
    bool readable = true;

    // Whether every track fits its length and character set (track 1: the
    // 6-bit alphabet 0x20-0x5F, tracks 2 and 3: 0x30-0x3F; no sentinels inside).
    bool valid() const;
};

// The reader's magnetic head: its format block and the cards still to be
// swiped. A swipe read takes the first card at once when it is due, or the
// reader waits and answers the host's polls with status 0x16 until a card
// comes or the host cancels the wait.
struct StripeHead : Unit
{
    struct Swipe
    {
        StripeCard card;
        int afterPolls = 0; // polls of a waiting read that still find no card
    };

    // Mode, track selection, output content, line ending (kept over power loss).
    std::array<std::uint8_t, 4> format = {0xA4, 0x02, 0x00, 0x00};
    std::deque<Swipe> swipes;
    bool waiting = false;
    std::uint8_t readSelection = 0; // the waiting read's track selection

    void reset() override { waiting = false; }
    void queueSwipe(const StripeCard &card, int afterPolls = 0) { swipes.push_back({card, afterPolls}); }
    // What the reader sends for a card: the selected tracks (selection 1-3
    // one track, 4 tracks 2 and 3, else the format block's, else all) in the
    // format block's output content, then CR LF when it asks for a line end.
    Bytes output(const StripeCard &card, std::uint8_t selection) const;
};

// The demo swipe: a bank-style card with all three tracks.
StripeCard demoStripeCard();

// The head: swipe read (0x30, L = 2 with its two bytes), cancel (0xB3),
// set format (0x3F), query format (0x3E).
void installStripeCommands(CommandTable &table);

} // namespace dorvent::emulator
