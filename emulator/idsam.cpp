// The reader's identity-card SAM: find, select, the two reads and the chip
// UID, run against the identity card on its antenna (idcard.h).
#include "idcard.h"

#include "families.h"

namespace dorvent::emulator {
namespace {

IdentityCard *cardOnSam(Firmware &firmware)
{
    return firmware.deck().idCardSam().cardAs<IdentityCard>();
}

Reply find(Firmware &firmware, const Request &)
{
    IdentityCard *card = cardOnSam(firmware);
    if (!card)
        return Reply::failed();
    card->found = true;
    card->selected = false;
    return Reply::ok();
}

Reply select(Firmware &firmware, const Request &)
{
    IdentityCard *card = cardOnSam(firmware);
    if (!card || !card->found)
        return Reply::failed();
    card->selected = true;
    return Reply::ok();
}

Reply read(Firmware &firmware, const Request &)
{
    IdentityCard *card = cardOnSam(firmware);
    if (!card || !card->selected)
        return Reply::failed();
    Bytes payload = card->textBlock();
    payload.insert(payload.end(), card->photo().begin(), card->photo().end());
    return Reply::ok(payload);
}

// Two leading bytes (the text block's length), then as the basic read, then
// the fingerprint block when the card has one.
Reply readExtended(Firmware &firmware, const Request &)
{
    IdentityCard *card = cardOnSam(firmware);
    if (!card || !card->selected)
        return Reply::failed();
    Bytes payload{0x01, 0x00};
    const Bytes text = card->textBlock();
    payload.insert(payload.end(), text.begin(), text.end());
    payload.insert(payload.end(), card->photo().begin(), card->photo().end());
    payload.insert(payload.end(), card->fingerprint().begin(), card->fingerprint().end());
    return Reply::ok(payload);
}

// The chip's UID and the card's status word 90 00; no session needed.
Reply uid(Firmware &firmware, const Request &)
{
    IdentityCard *card = cardOnSam(firmware);
    if (!card)
        return Reply::failed();
    Bytes payload = card->uid();
    payload.push_back(0x90);
    payload.push_back(0x00);
    return Reply::ok(payload);
}

// None of them has parameters: L = 1.
constexpr FrameRule kNoParameters{1, 0, nullptr, 1};
constexpr CommandEntry kCommands[] = {
    {0xB0, "identity card: find", find, kNoParameters},
    {0xB1, "identity card: select", select, kNoParameters},
    {0xB4, "identity card: read", read, kNoParameters},
    {0xB5, "identity card: extended read", readExtended, kNoParameters},
    {0x12, "identity card: chip UID", uid, kNoParameters},
};

} // namespace

void installIdCardCommands(CommandTable &table)
{
    table.add(kCommands);
}

} // namespace dorvent::emulator
