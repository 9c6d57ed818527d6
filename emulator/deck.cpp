#include "deck.h"

namespace dorvent::emulator {

void CardPlace::insert(std::unique_ptr<Card> card)
{
    if (card)
        card->reset();
    m_card = std::move(card);
}

std::unique_ptr<Card> CardPlace::remove()
{
    if (m_card)
        m_card->reset();
    return std::move(m_card);
}

Deck::Deck()
{
    for (std::uint8_t byte : kSlotBytes)
        m_slots.emplace_back(byte);
}

ContactSlot *Deck::contactSlot(std::uint8_t slotByte)
{
    for (ContactSlot &slot : m_slots) {
        if (slot.slotByte == slotByte)
            return &slot;
    }
    return nullptr;
}

void Deck::resetCards()
{
    for (ContactSlot &slot : m_slots) {
        if (slot.card())
            slot.card()->reset();
    }
    for (CardPlace *place : {static_cast<CardPlace *>(&m_field), &m_idCard, &m_stripe}) {
        if (place->card())
            place->card()->reset();
    }
}

void Deck::clear()
{
    for (ContactSlot &slot : m_slots)
        slot.remove();
    m_field.remove();
    m_field.on = true;
    m_idCard.remove();
    m_stripe.remove();
}

} // namespace dorvent::emulator
