// Contact CPU cards and APDUs to a Type A CPU card, as the reader's firmware
// runs them; the card is brought up by Type A activation (typea.cpp).

#include "cpucards.h"

#include "families.h"

#include <algorithm>
#include <utility>

namespace dorvent::emulator {

ContactCpuCard::ContactCpuCard(std::vector<std::uint8_t> atrBytes, Iso7816Responder fileSystem)
    : atr(std::move(atrBytes)), files(std::move(fileSystem))
{
}

void ContactCpuCard::reset()
{
    powered = false;
    files.reset();
}

TypeACpuCard::TypeACpuCard(std::vector<std::uint8_t> uidBytes, std::vector<std::uint8_t> atsBytes,
                           Iso7816Responder fileSystem)
    : TypeACard(std::move(uidBytes), {0x04, 0x00}, 0x20), ats(std::move(atsBytes)),
      files(std::move(fileSystem))
{
}

void TypeACpuCard::reset()
{
    TypeACard::reset();
    files.reset();
    protocolActive = false;
    blockNumber = 0;
    extensionsLeft = 0;
    pendingAnswer.clear();
    answerPending = false;
}

bool TypeACpuCard::answerToSelect(std::vector<std::uint8_t> &atsOut)
{
    protocolActive = true;
    blockNumber = 0;
    atsOut = ats;
    return true;
}

std::unique_ptr<ContactCpuCard> demoContactCpuCard()
{
    // T=0, TB1 TC1 present, historical bytes "DORVENT1".
    return std::make_unique<ContactCpuCard>(
        std::vector<std::uint8_t>{0x3B, 0x68, 0x00, 0x00, 'D', 'O', 'R', 'V', 'E', 'N', 'T', '1'});
}

std::unique_ptr<TypeACpuCard> demoTypeACpuCard()
{
    // ATS: TL, T0 (FSCI 8, TA TB TC follow), TA, TB, TC, historical "DV".
    return std::make_unique<TypeACpuCard>(std::vector<std::uint8_t>{0x04, 0xA1, 0xB2, 0xC3},
                                          std::vector<std::uint8_t>{0x07, 0x78, 0x80, 0x70, 0x02, 'D', 'V'});
}

namespace {

ContactCpuCard *contactCard(Firmware &firmware, const Request &request)
{
    if (request.params.empty())
        return nullptr;
    ContactSlot *slot = firmware.deck().contactSlot(request.params[0]);
    return slot ? slot->cardAs<ContactCpuCard>() : nullptr;
}

Reply powerOn(Firmware &firmware, const Request &request)
{
    ContactCpuCard *card = contactCard(firmware, request);
    if (!card || request.params.size() != 2)
        return Reply::failed();
    card->files.reset();
    card->powered = true;
    return Reply::counted(card->atr);
}

Reply powerOff(Firmware &firmware, const Request &request)
{
    ContactCpuCard *card = contactCard(firmware, request);
    if (!card)
        return Reply::standard(status::kFailed, {0x01}); // nothing to power off
    card->reset();
    return firmware.acknowledge();
}

Reply contactApdu(Firmware &firmware, const Request &request)
{
    ContactCpuCard *card = contactCard(firmware, request);
    if (!card || !card->powered || request.params.size() < 2 + 4)
        return Reply::failed();
    return Reply::ok(card->files.transmit(Bytes(request.params.begin() + 2, request.params.end())));
}

// 86 00 00 APDU: an I-block to the card. 86 01 PCB INF: an S-block answer
// (the driver's reply to the card's WTX request, echoing its PCB and WTXM).
// The reply's payload is 00, the card's block byte, then its information field.
Reply contactlessExchange(Firmware &firmware, const Request &request)
{
    TypeACpuCard *card = cardInField<TypeACpuCard>(firmware);
    if (!card || !card->protocolActive || request.params.size() < 2)
        return Reply::failed();
    const std::uint8_t blockControl = request.params[0];
    if (blockControl == 0x00) {
        if (card->answerPending)
            return Reply::failed();
        card->pendingAnswer = card->files.transmit(Bytes(request.params.begin() + 2, request.params.end()));
        card->answerPending = true;
        card->extensionsLeft = card->waitingTimeExtensions;
    } else if (blockControl == 0x01) {
        // Only a WTX answer while the card waits for one.
        if (!card->answerPending || request.params.size() != 3 || (request.params[1] & 0xF0) != 0xF0)
            return Reply::failed();
    } else {
        return Reply::failed();
    }
    if (card->extensionsLeft > 0) {
        --card->extensionsLeft;
        return Reply::ok({0x00, 0xF2, card->wtxMultiplier});
    }
    Bytes payload(2 + card->pendingAnswer.size());
    payload[1] = static_cast<std::uint8_t>(0x02 | card->blockNumber);
    std::copy(card->pendingAnswer.begin(), card->pendingAnswer.end(), payload.begin() + 2);
    card->blockNumber ^= 1;
    card->answerPending = false;
    card->pendingAnswer.clear();
    return Reply::ok(payload);
}

// Power-off carries L = 1 for its two bytes and a checksum from offset 2.
constexpr CommandEntry kCommands[] = {
    {0x74, "contact cold reset", powerOn, {}},
    {0x75, "contact warm reset", powerOn, {}},
    {0x73, "contact power-off", powerOff, {/*lField*/ 1, /*params*/ 1, nullptr, /*checksumFrom*/ 2}},
    {0x72, "contact APDU", contactApdu, {}},
    {0x86, "contactless APDU", contactlessExchange, {}},
};

} // namespace

void installCpuCardCommands(CommandTable &table)
{
    table.add(kCommands);
}

} // namespace dorvent::emulator
