#pragma once

#include "deck.h"
#include "firmware.h"

#include <cstdint>
#include <vector>

namespace dorvent::emulator {

// Any ISO 14443 Type A card: request, anticollision and select bring it from
// idle to active. Families derive their cards (CPU, M1) from it.
class TypeACard : public Card
{
public:
    enum class State { Idle, Ready, Active };
    TypeACard(std::vector<std::uint8_t> uid, std::vector<std::uint8_t> atqa, std::uint8_t sak);
    void reset() override { state = State::Idle; }

    // RATS: a card that speaks ISO 14443-4 starts its block protocol and
    // gives its ATS; the others (M1) give nothing and the reader refuses.
    virtual bool answerToSelect(std::vector<std::uint8_t> &ats);

    const std::vector<std::uint8_t> uid;
    const std::vector<std::uint8_t> atqa;
    const std::uint8_t sak;
    State state = State::Idle;
};

// The card of class T in the field while the field is on; null otherwise.
template <class T> T *cardInField(Firmware &firmware)
{
    RadioField &field = firmware.deck().radioField();
    return field.on ? field.cardAs<T>() : nullptr;
}

// The radio field and Type A activation: field on/off (0x4E), protocol
// (0x87), request (0x41), anticollision (0x42), select (0x43; 0x8A for
// Type B), RATS (0x85).
void installTypeACommands(CommandTable &table);

} // namespace dorvent::emulator
