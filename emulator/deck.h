#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace dorvent::emulator {

// A card model. Each family derives its own (a CPU card, a 4442 card, an M1
// card, an identity card, a stripe card...) with real state and behaviour;
// the family's command handlers find it in its place and dynamic_cast it to
// the class they speak to. A place holding a card of another kind is, to
// those handlers, a place without their card.
class Card
{
public:
    virtual ~Card() = default;
    // The reader lost power, or the card left its place: drop what a
    // session built up (powered, selected, authenticated).
    virtual void reset() {}
};

// Somewhere the reader can reach one card.
class CardPlace
{
public:
    // Puts a card in (replacing any, which is reset and dropped).
    void insert(std::unique_ptr<Card> card);
    // Takes the card out; null when empty.
    std::unique_ptr<Card> remove();
    Card *card() const { return m_card.get(); }
    bool empty() const { return !m_card; }
    template <class T> T *cardAs() const { return dynamic_cast<T *>(m_card.get()); }

private:
    std::unique_ptr<Card> m_card;
};

// A contact slot, named by the byte the reader's commands carry for it.
struct ContactSlot : CardPlace
{
    explicit ContactSlot(std::uint8_t byte) : slotByte(byte) {}
    const std::uint8_t slotByte;
};

// The antenna for contactless cards (Type A CPU, M1, ISO 15693).
struct RadioField : CardPlace
{
    bool on = true;
};

// What is in and on the reader.
class Deck
{
public:
    // Slot bytes: 0x0C the user slot; 0x0D-0x10 and 0x8D-0x90 the SAM slots.
    static constexpr std::uint8_t kUserSlot = 0x0C;
    static constexpr std::uint8_t kSlotBytes[] = {0x0C, 0x0D, 0x0E, 0x0F, 0x10,
                                                  0x8D, 0x8E, 0x8F, 0x90};

    Deck();
    // The slot a command's slot byte addresses; null when no slot has that byte.
    ContactSlot *contactSlot(std::uint8_t slotByte);
    RadioField &radioField() { return m_field; }
    // The identity card lying on the antenna of the reader's identity-card SAM.
    CardPlace &idCardSam() { return m_idCard; }
    // The card being swiped through the stripe head.
    CardPlace &magneticHead() { return m_stripe; }

    // Every card loses its session state (power loss, unplug).
    void resetCards();
    // Empty, field on.
    void clear();

private:
    std::vector<ContactSlot> m_slots;
    RadioField m_field;
    CardPlace m_idCard;
    CardPlace m_stripe;
};

} // namespace dorvent::emulator
