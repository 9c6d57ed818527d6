// Contact and contactless CPU cards, the radio field and the Type A
// activation, as the reader's firmware runs them.

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

TypeACard::TypeACard(std::vector<std::uint8_t> uidBytes, std::vector<std::uint8_t> atqaBytes,
                     std::uint8_t sakByte)
    : uid(std::move(uidBytes)), atqa(std::move(atqaBytes)), sak(sakByte)
{
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

// Replies whose count stands at offset 3 and data at offset 4.
Reply countedReply(const std::vector<std::uint8_t> &data)
{
    Bytes body(3 + data.size());
    body[0] = 0x02;
    body[1] = status::kOk;
    body[2] = static_cast<std::uint8_t>(data.size());
    std::copy(data.begin(), data.end(), body.begin() + 3);
    return Reply::custom(body);
}

ContactCpuCard *contactCard(Firmware &firmware, const Request &request)
{
    if (request.params.empty())
        return nullptr;
    ContactSlot *slot = firmware.deck().contactSlot(request.params[0]);
    return slot ? slot->cardAs<ContactCpuCard>() : nullptr;
}

// The Type A card in a powered field, if any.
template <class T> T *fieldCard(Firmware &firmware)
{
    RadioField &field = firmware.deck().radioField();
    return field.on ? field.cardAs<T>() : nullptr;
}

struct RadioUnit : Unit
{
    std::uint8_t protocol = 'A';
    void reset() override { protocol = 'A'; }
};

Reply powerOn(Firmware &firmware, const Request &request)
{
    ContactCpuCard *card = contactCard(firmware, request);
    if (!card || request.params.size() != 2)
        return Reply::failed();
    card->files.reset();
    card->powered = true;
    return countedReply(card->atr);
}

Reply powerOff(Firmware &firmware, const Request &request)
{
    ContactCpuCard *card = contactCard(firmware, request);
    if (!card)
        return Reply::standard(status::kFailed, {0x01}); // nothing to power off
    card->reset();
    return Reply::ok();
}

Reply contactApdu(Firmware &firmware, const Request &request)
{
    ContactCpuCard *card = contactCard(firmware, request);
    if (!card || !card->powered || request.params.size() < 2 + 4)
        return Reply::failed();
    return Reply::ok(card->files.transmit(Bytes(request.params.begin() + 2, request.params.end())));
}

Reply switchField(Firmware &firmware, const Request &request)
{
    if (request.params.size() != 1)
        return Reply::failed();
    RadioField &field = firmware.deck().radioField();
    field.on = request.params[0] != 0;
    if (field.card())
        field.card()->reset(); // switched either way, the card starts over
    return Reply::ok();
}

Reply setProtocol(Firmware &firmware, const Request &request)
{
    if (request.params.size() != 1 || (request.params[0] != 'A' && request.params[0] != 'B'))
        return Reply::failed();
    firmware.unit<RadioUnit>().protocol = request.params[0];
    return Reply::ok();
}

Reply typeARequest(Firmware &firmware, const Request &)
{
    TypeACard *card = fieldCard<TypeACard>(firmware);
    if (!card || firmware.unit<RadioUnit>().protocol != 'A')
        return Reply::failed();
    card->reset();
    card->state = TypeACard::State::Ready;
    return Reply::ok(card->atqa);
}

Reply typeAAnticollision(Firmware &firmware, const Request &)
{
    TypeACard *card = fieldCard<TypeACard>(firmware);
    if (!card || card->state != TypeACard::State::Ready)
        return Reply::failed();
    return countedReply(card->uid);
}

Reply typeASelect(Firmware &firmware, const Request &)
{
    TypeACard *card = fieldCard<TypeACard>(firmware);
    if (!card || card->state != TypeACard::State::Ready)
        return Reply::failed();
    card->state = TypeACard::State::Active;
    return Reply::ok({card->sak});
}

// This reader has no Type B cards to select.
Reply typeBSelect(Firmware &, const Request &) { return Reply::failed(); }

Reply typeAPowerOn(Firmware &firmware, const Request &)
{
    TypeACpuCard *card = fieldCard<TypeACpuCard>(firmware);
    if (!card || card->state != TypeACard::State::Active)
        return Reply::failed();
    card->protocolActive = true;
    card->blockNumber = 0;
    return countedReply(card->ats);
}

// 86 00 00 APDU: an I-block to the card. 86 01 PCB INF: an S-block answer
// (the driver's reply to the card's WTX request, echoing its PCB and WTXM).
// The reply's payload is 00, the card's block byte, then its information field.
Reply contactlessExchange(Firmware &firmware, const Request &request)
{
    TypeACpuCard *card = fieldCard<TypeACpuCard>(firmware);
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
    {0x4E, "radio field", switchField, {}},
    {0x87, "radio protocol", setProtocol, {}},
    {0x41, "Type A request", typeARequest, {}},
    {0x42, "Type A anticollision", typeAAnticollision, {}},
    {0x43, "Type A select", typeASelect, {}},
    {0x8A, "Type B select", typeBSelect, {}},
    {0x85, "Type A RATS", typeAPowerOn, {}},
    {0x86, "contactless APDU", contactlessExchange, {}},
};

} // namespace

void installCpuCardCommands(CommandTable &table)
{
    table.add(kCommands);
}

} // namespace dorvent::emulator
