#pragma once

#include "deck.h"
#include "firmware.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace dorvent::emulator {

// A contact memory card with a security code: main memory, a protection bit
// per protectable byte, the code and its error counter. Like the real
// chips, a protection bit reads 1 while its byte is writable and 0 once it
// has been programmed (for good); a new card has its manufacturer area
// programmed. Reads need only power; writes, protection and code changes
// need the code verified since power-on. Every wrong verification costs an
// attempt, a right one gives them all back, and at 0 the card is locked for
// good: no code verifies any more.
class MemoryCard : public Card
{
public:
    void reset() override;

    const std::vector<std::uint8_t> atr;
    std::vector<std::uint8_t> memory;
    std::vector<bool> writable; // one per protectable byte, from address 0
    std::vector<std::uint8_t> code;
    const int maxAttempts;
    int attemptsLeft;
    bool powered = false;
    bool verified = false;

    void powerOn()
    {
        powered = true;
        verified = false;
    }
    // False when locked or wrong; both cost the attempt the chip spends.
    bool verify(const std::vector<std::uint8_t> &candidate);
    bool changeCode(const std::vector<std::uint8_t> &newCode);
    // The whole range or nothing: refused unless verified, inside memory
    // and every byte writable.
    bool write(std::size_t address, const std::vector<std::uint8_t> &data);
    // Programs the protection bits of the range; the chip does so only for
    // data equal to what the bytes hold (refused otherwise, nothing changed).
    bool protect(std::size_t address, const std::vector<std::uint8_t> &data);
    // The first four protection bytes, bit k of byte j for byte 8·j + k.
    std::vector<std::uint8_t> protectionBytes() const;

protected:
    MemoryCard(std::vector<std::uint8_t> atr, std::size_t memorySize, std::size_t protectable,
               std::vector<std::uint8_t> code, int attempts, std::size_t manufacturerBytes);
};

// 256 bytes, the first 32 protectable; a 3-byte code and 3 attempts.
class Card4442 : public MemoryCard
{
public:
    static constexpr std::size_t kMemorySize = 256;
    static constexpr int kAttempts = 3;
    Card4442();
};

// 1024 bytes, each protectable; a 2-byte code and 8 attempts.
class Card4428 : public MemoryCard
{
public:
    static constexpr std::size_t kMemorySize = 1024;
    static constexpr int kAttempts = 8;
    Card4428();
};

// The demo deck's 4442 card: a loyalty card, code FFFFFF.
std::unique_ptr<Card4442> demoCard4442();
std::unique_ptr<Card4428> demoCard4428();

// Both types in the user slot, 0x50-0x58 for 4442 and 0x60-0x68 for 4428:
// power on, power off, read, write, verify, change code, read and write
// protection, error counter.
void installMemoryCardCommands(CommandTable &table);

} // namespace dorvent::emulator
