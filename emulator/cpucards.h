#pragma once

#include "deck.h"
#include "iso7816card.h"
#include "typea.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace dorvent::emulator {

// A microprocessor card in a contact slot: powered by a cold or warm reset,
// which answers its ATR, then exchanging APDUs with its file system.
class ContactCpuCard : public Card
{
public:
    explicit ContactCpuCard(std::vector<std::uint8_t> atr, Iso7816Responder files = demoFileSystem());
    void reset() override;

    const std::vector<std::uint8_t> atr;
    Iso7816Responder files;
    bool powered = false;
};

// A Type A card with a CPU: after select, RATS gives its ATS and APDUs go in
// I-blocks. It may ask for more time (S-block WTX) before answering.
class TypeACpuCard : public TypeACard
{
public:
    TypeACpuCard(std::vector<std::uint8_t> uid, std::vector<std::uint8_t> ats,
                 Iso7816Responder files = demoFileSystem());
    void reset() override;
    bool answerToSelect(std::vector<std::uint8_t> &atsOut) override;

    const std::vector<std::uint8_t> ats;
    Iso7816Responder files;
    // How many WTX requests the card sends before each answer.
    int waitingTimeExtensions = 0;
    std::uint8_t wtxMultiplier = 0x01;

    bool protocolActive = false; // after RATS
    std::uint8_t blockNumber = 0;
    int extensionsLeft = 0;
    std::vector<std::uint8_t> pendingAnswer; // computed, held back while asking for time
    bool answerPending = false;
};

// The demo deck's cards.
std::unique_ptr<ContactCpuCard> demoContactCpuCard();
std::unique_ptr<TypeACpuCard> demoTypeACpuCard();

} // namespace dorvent::emulator
