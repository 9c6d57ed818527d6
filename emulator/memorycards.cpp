// 4442 and 4428 memory cards in the user slot, as the reader's firmware runs
// them: the reader speaks the chip's protocol, the host only asks.

#include "memorycards.h"

#include "families.h"

#include <algorithm>
#include <cstring>

namespace dorvent::emulator {

MemoryCard::MemoryCard(std::vector<std::uint8_t> atrBytes, std::size_t memorySize,
                       std::size_t protectable, std::vector<std::uint8_t> codeBytes, int attempts,
                       std::size_t manufacturerBytes)
    : atr(std::move(atrBytes)), memory(memorySize, 0xFF), writable(protectable, true),
      code(std::move(codeBytes)), maxAttempts(attempts), attemptsLeft(attempts)
{
    // The manufacturer area: the answer-to-reset header first, programmed at the factory.
    std::copy(atr.begin(), atr.end(), memory.begin());
    for (std::size_t i = 0; i < manufacturerBytes; ++i)
        writable[i] = false;
}

void MemoryCard::reset()
{
    powered = false;
    verified = false;
}

bool MemoryCard::verify(const std::vector<std::uint8_t> &candidate)
{
    verified = false;
    if (attemptsLeft == 0)
        return false;
    --attemptsLeft; // spent before the comparison, as the chip does
    if (candidate != code)
        return false;
    attemptsLeft = maxAttempts;
    verified = true;
    return true;
}

bool MemoryCard::changeCode(const std::vector<std::uint8_t> &newCode)
{
    if (!verified || newCode.size() != code.size())
        return false;
    code = newCode;
    return true;
}

bool MemoryCard::write(std::size_t address, const std::vector<std::uint8_t> &data)
{
    if (!verified || address > memory.size() || data.size() > memory.size() - address)
        return false;
    for (std::size_t i = address; i < address + data.size() && i < writable.size(); ++i)
        if (!writable[i])
            return false;
    std::copy(data.begin(), data.end(), memory.begin() + std::ptrdiff_t(address));
    return true;
}

bool MemoryCard::protect(std::size_t address, const std::vector<std::uint8_t> &data)
{
    if (!verified || address > writable.size() || data.size() > writable.size() - address)
        return false;
    if (!std::equal(data.begin(), data.end(), memory.begin() + std::ptrdiff_t(address)))
        return false;
    std::fill(writable.begin() + std::ptrdiff_t(address),
              writable.begin() + std::ptrdiff_t(address + data.size()), false);
    return true;
}

std::vector<std::uint8_t> MemoryCard::protectionBytes() const
{
    std::vector<std::uint8_t> bytes(4, 0);
    for (std::size_t bit = 0; bit < 32 && bit < writable.size(); ++bit)
        bytes[bit / 8] |= std::uint8_t(writable[bit] ? 1u << (bit % 8) : 0u);
    return bytes;
}

Card4442::Card4442()
    : MemoryCard({0xA2, 0x13, 0x10, 0x91}, kMemorySize, 32, {0xFF, 0xFF, 0xFF}, kAttempts, 6)
{
}

Card4428::Card4428() : MemoryCard({0x92, 0x23, 0x10, 0x91}, kMemorySize, kMemorySize, {0xFF, 0xFF}, kAttempts, 6)
{
}

namespace {

constexpr char kLoyaltyRecord[] = "DORVENT LOYALTY1"; // 16 bytes at 32
constexpr std::size_t kRecordAddress = 32;

template <class T> std::unique_ptr<T> demoCard()
{
    auto card = std::make_unique<T>();
    std::memcpy(card->memory.data() + kRecordAddress, kLoyaltyRecord, sizeof kLoyaltyRecord - 1);
    return card;
}

} // namespace

std::unique_ptr<Card4442> demoCard4442() { return demoCard<Card4442>(); }
std::unique_ptr<Card4428> demoCard4428() { return demoCard<Card4428>(); }

namespace {

// The card of type T the commands reach; null when there is none. They
// carry no slot byte: the user slot's card. So that one deck can hold a CPU
// card and a memory card at once, this reader also reaches a memory card in
// another contact slot while the user slot holds none.
template <class T> T *cardInUserSlot(Firmware &firmware)
{
    ContactSlot *user = firmware.deck().contactSlot(Deck::kUserSlot);
    if (user && user->cardAs<MemoryCard>())
        return user->cardAs<T>();
    for (std::uint8_t byte : Deck::kSlotBytes)
        if (T *card = firmware.deck().contactSlot(byte)->cardAs<T>())
            return card;
    return nullptr;
}

template <class T> T *poweredCard(Firmware &firmware)
{
    T *card = cardInUserSlot<T>(firmware);
    return card && card->powered ? card : nullptr;
}

Reply okOrFailed(bool ok) { return ok ? Reply::ok() : Reply::failed(); }

template <class T> Reply powerOn(Firmware &firmware, const Request &)
{
    T *card = cardInUserSlot<T>(firmware);
    if (!card)
        return Reply::failed();
    card->powerOn();
    return Reply::counted(card->atr);
}

template <class T> Reply powerOff(Firmware &firmware, const Request &)
{
    T *card = cardInUserSlot<T>(firmware);
    if (!card)
        return Reply::failed();
    card->reset();
    return firmware.acknowledge();
}

// addr, len (two bytes): the bytes up to the end of memory.
template <class T> Reply read(Firmware &firmware, const Request &request)
{
    T *card = poweredCard<T>(firmware);
    if (!card || request.params.size() != 3 || request.params[0] >= card->memory.size())
        return Reply::failed();
    const std::size_t address = request.params[0];
    const std::size_t length = std::min<std::size_t>(request.params[1] | request.params[2] << 8,
                                                     card->memory.size() - address);
    const auto from = card->memory.begin() + std::ptrdiff_t(address);
    return Reply::ok(Bytes(from, from + std::ptrdiff_t(length)));
}

// addr, len (two bytes), the data.
template <class T> Reply write(Firmware &firmware, const Request &request)
{
    T *card = poweredCard<T>(firmware);
    const Bytes &p = request.params;
    if (!card || p.size() < 3 || p.size() != 3u + (p[1] | p[2] << 8))
        return Reply::failed();
    return okOrFailed(card->write(p[0], Bytes(p.begin() + 3, p.end())));
}

template <class T> Reply verify(Firmware &firmware, const Request &request)
{
    T *card = poweredCard<T>(firmware);
    return card && card->verify(request.params) ? firmware.acknowledge() : Reply::failed();
}

template <class T> Reply changeCode(Firmware &firmware, const Request &request)
{
    T *card = poweredCard<T>(firmware);
    return card && card->changeCode(request.params) ? firmware.acknowledge() : Reply::failed();
}

// addr, len: the count 4 at offset 3 and the four protection bytes from offset 6.
template <class T> Reply readProtection(Firmware &firmware, const Request &request)
{
    T *card = poweredCard<T>(firmware);
    if (!card || request.params.size() != 2)
        return Reply::failed();
    const Bytes bits = card->protectionBytes();
    Bytes body{0x02, status::kOk, std::uint8_t(bits.size()), 0x00, 0x00};
    body.insert(body.end(), bits.begin(), bits.end());
    return Reply::custom(body);
}

// addr, len, the data the bytes must hold.
template <class T> Reply writeProtection(Firmware &firmware, const Request &request)
{
    T *card = poweredCard<T>(firmware);
    const Bytes &p = request.params;
    if (!card || p.size() < 2 || p.size() != 2u + p[1])
        return Reply::failed();
    return okOrFailed(card->protect(p[0], Bytes(p.begin() + 2, p.end())));
}

template <class T> Reply errorCounter(Firmware &firmware, const Request &)
{
    T *card = poweredCard<T>(firmware);
    if (!card)
        return Reply::failed();
    return Reply::counted({std::uint8_t(card->attemptsLeft)});
}

template <class T, std::uint8_t kBase> struct Commands
{
    static constexpr CommandEntry kRows[] = {
        {kBase + 0, "memory card power-on", powerOn<T>, {}},
        {kBase + 1, "memory card power-off", powerOff<T>, {}},
        {kBase + 2, "memory card read", read<T>, {}},
        {kBase + 3, "memory card write", write<T>, {}},
        {kBase + 4, "memory card verify code", verify<T>, {}},
        {kBase + 5, "memory card change code", changeCode<T>, {}},
        {kBase + 6, "memory card read protection", readProtection<T>, {}},
        {kBase + 7, "memory card write protection", writeProtection<T>, {}},
        {kBase + 8, "memory card error counter", errorCounter<T>, {}},
    };
};

} // namespace

void installMemoryCardCommands(CommandTable &table)
{
    table.add(Commands<Card4442, 0x50>::kRows);
    table.add(Commands<Card4428, 0x60>::kRows);
}

} // namespace dorvent::emulator
