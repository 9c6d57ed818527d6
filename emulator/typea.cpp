// The radio field and ISO 14443 Type A activation, as the reader's firmware
// runs them for whatever Type A card lies in the field.

#include "typea.h"

#include "families.h"

#include <utility>

namespace dorvent::emulator {

TypeACard::TypeACard(std::vector<std::uint8_t> uidBytes, std::vector<std::uint8_t> atqaBytes,
                     std::uint8_t sakByte)
    : uid(std::move(uidBytes)), atqa(std::move(atqaBytes)), sak(sakByte)
{
}

bool TypeACard::answerToSelect(std::vector<std::uint8_t> &)
{
    return false;
}

namespace {

struct RadioUnit : Unit
{
    std::uint8_t protocol = 'A';
    void reset() override { protocol = 'A'; }
};

Reply switchField(Firmware &firmware, const Request &request)
{
    if (request.params.size() != 1)
        return Reply::failed();
    RadioField &field = firmware.deck().radioField();
    field.on = request.params[0] != 0;
    if (field.card())
        field.card()->reset(); // switched either way, the card starts over
    return firmware.acknowledge();
}

Reply setProtocol(Firmware &firmware, const Request &request)
{
    if (request.params.size() != 1 || (request.params[0] != 'A' && request.params[0] != 'B'))
        return Reply::failed();
    firmware.unit<RadioUnit>().protocol = request.params[0];
    return firmware.acknowledge();
}

Reply typeARequest(Firmware &firmware, const Request &)
{
    TypeACard *card = cardInField<TypeACard>(firmware);
    if (!card || firmware.unit<RadioUnit>().protocol != 'A')
        return Reply::failed();
    card->reset();
    card->state = TypeACard::State::Ready;
    return firmware.acknowledge(card->atqa);
}

Reply typeAAnticollision(Firmware &firmware, const Request &)
{
    TypeACard *card = cardInField<TypeACard>(firmware);
    if (!card || card->state != TypeACard::State::Ready)
        return Reply::failed();
    return Reply::counted(card->uid);
}

Reply typeASelect(Firmware &firmware, const Request &)
{
    TypeACard *card = cardInField<TypeACard>(firmware);
    if (!card || card->state != TypeACard::State::Ready)
        return Reply::failed();
    card->state = TypeACard::State::Active;
    return firmware.acknowledge({card->sak});
}

// This reader has no Type B cards to select.
Reply typeBSelect(Firmware &, const Request &) { return Reply::failed(); }

Reply typeARats(Firmware &firmware, const Request &)
{
    TypeACard *card = cardInField<TypeACard>(firmware);
    std::vector<std::uint8_t> ats;
    if (!card || card->state != TypeACard::State::Active || !card->answerToSelect(ats))
        return Reply::failed();
    return Reply::counted(ats);
}

constexpr CommandEntry kCommands[] = {
    {0x4E, "radio field", switchField, {}},
    {0x87, "radio protocol", setProtocol, {}},
    {0x41, "Type A request", typeARequest, {}},
    {0x42, "Type A anticollision", typeAAnticollision, {}},
    {0x43, "Type A select", typeASelect, {}},
    {0x8A, "Type B select", typeBSelect, {}},
    {0x85, "Type A RATS", typeARats, {}},
};

} // namespace

void installTypeACommands(CommandTable &table)
{
    table.add(kCommands);
}

} // namespace dorvent::emulator
