#pragma once

#include "firmware.h"
#include "typea.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace dorvent::emulator {

// A 1K M1 card: 16 sectors of 4 blocks of 16 bytes. The last block of each
// sector is its trailer: key A (bytes 0-5, read back as zeros), access bits
// (6-9), key B (10-15). Block 0 holds the UID and maker data and cannot be
// written. One sector at a time is open, after an authentication with
// either of its keys; a failed authentication, a new request or select and
// the field going off close it.
class M1Card : public TypeACard
{
public:
    static constexpr int kSectors = 16;
    static constexpr int kBlocksPerSector = 4;
    static constexpr int kBlocks = kSectors * kBlocksPerSector;
    static constexpr int kBlockSize = 16;
    static constexpr int kKeySize = 6;
    // The reader's key type bytes.
    static constexpr std::uint8_t kKeyA = 0x60;
    static constexpr std::uint8_t kKeyB = 0x04;
    static constexpr int kNoSector = -1;

    using Block = std::array<std::uint8_t, kBlockSize>;
    using Key = std::array<std::uint8_t, kKeySize>;

    // Every sector keyed FF FF FF FF FF FF (A and B), data blocks zero.
    explicit M1Card(std::vector<std::uint8_t> uid);
    void reset() override;

    bool authenticate(std::uint8_t keyType, int sector, const Key &key);
    // False (nothing changed) outside the open sector or on block 0.
    bool read(int block, Block &out) const;
    bool write(int block, const Block &data);
    // Value-block arithmetic; false on a block that is not a value block, or
    // when the 32-bit value would leave 0..0xFFFFFFFF.
    bool addValue(int block, std::uint32_t amount, bool decrement);
    void setKeys(int sector, const Key &keyA, const Key &keyB);

    static bool isValueBlock(const Block &b);
    static int sectorOf(int block) { return block / kBlocksPerSector; }
    static bool isTrailer(int block) { return block % kBlocksPerSector == kBlocksPerSector - 1; }

    std::array<Block, kBlocks> blocks{};
    int openSector = kNoSector;

private:
    bool reachable(int block) const;
};

std::unique_ptr<M1Card> demoM1Card();

// Authenticate (0x44), read (0x46), write (0x47), increment (0x48) and
// decrement (0x49) for the M1 card in the field.
void installM1Commands(CommandTable &table);

} // namespace dorvent::emulator
