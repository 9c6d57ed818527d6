#pragma once

#include "deck.h"
#include "firmware.h"

#include <array>
#include <cstdint>
#include <memory>

namespace dorvent::emulator {

// An ISO 15693 tag: an 8-byte UID (E0 first, as printed), 28 blocks of 4
// bytes, AFI and DSFID. Each block, the AFI and the DSFID can be locked
// once, for good: a locked one refuses writes, and locking it again fails.
class Iso15693Tag : public Card
{
public:
    static constexpr int kBlocks = 28;
    static constexpr int kBlockSize = 4;
    static constexpr std::uint8_t kIcReference = 0x01;

    using Uid = std::array<std::uint8_t, 8>;
    using Block = std::array<std::uint8_t, kBlockSize>;

    explicit Iso15693Tag(const Uid &uid);

    bool writeBlock(int block, const Block &data);
    bool lockBlock(int block);
    bool writeAfi(std::uint8_t value);
    bool lockAfi();
    bool writeDsfid(std::uint8_t value);
    bool lockDsfid();

    // The answers a tag gives on the air (UID least significant byte first).
    std::vector<std::uint8_t> inventoryAnswer() const;
    std::vector<std::uint8_t> systemInformation() const;

    const Uid uid;
    std::array<Block, kBlocks> blocks{};
    std::array<bool, kBlocks> blockLocked{};
    std::uint8_t afi = 0x00;
    std::uint8_t dsfid = 0x00;
    bool afiLocked = false;
    bool dsfidLocked = false;
};

std::unique_ptr<Iso15693Tag> demoIso15693Tag();

// Inventory (0x90), read (0x91), write (0x92), AFI (0x93), DSFID (0x94),
// lock block (0x95) and system information (0x96) for the tag in the field.
void installIso15693Commands(CommandTable &table);

} // namespace dorvent::emulator
