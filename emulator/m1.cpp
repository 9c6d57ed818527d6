// M1 cards as the reader's firmware reaches them: Type A activation first
// (typea.cpp), then sector authentication and block commands.

#include "m1.h"

#include "families.h"

#include <algorithm>
#include <utility>

namespace dorvent::emulator {
namespace {

// The access bits of a new card: keys A and B open every data block, key B
// is readable.
constexpr std::uint8_t kTransportAccess[] = {0xFF, 0x07, 0x80, 0x69};
constexpr std::uint8_t kDefaultKey = 0xFF;
constexpr std::uint8_t kManufacturer[] = {0x08, 0x04, 0x00, 0x44, 0x56, 0x52, 0x56, 0x45, 0x4E, 0x54, 0x31};

std::uint32_t valueOf(const M1Card::Block &b)
{
    return b[0] | b[1] << 8 | b[2] << 16 | std::uint32_t(b[3]) << 24;
}

void setValue(M1Card::Block &b, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) {
        b[i] = b[i + 8] = std::uint8_t(v >> (8 * i));
        b[i + 4] = std::uint8_t(~(v >> (8 * i)));
    }
}

} // namespace

M1Card::M1Card(std::vector<std::uint8_t> uidBytes) : TypeACard(std::move(uidBytes), {0x04, 0x00}, 0x08)
{
    Block &first = blocks[0];
    std::uint8_t bcc = 0;
    for (std::size_t i = 0; i < uid.size() && i < 4; ++i) {
        first[i] = uid[i];
        bcc ^= uid[i];
    }
    first[4] = bcc;
    std::copy(std::begin(kManufacturer), std::end(kManufacturer), first.begin() + 5);
    Key key;
    key.fill(kDefaultKey);
    for (int sector = 0; sector < kSectors; ++sector)
        setKeys(sector, key, key);
}

void M1Card::reset()
{
    TypeACard::reset();
    openSector = kNoSector;
}

void M1Card::setKeys(int sector, const Key &keyA, const Key &keyB)
{
    Block &trailer = blocks[sector * kBlocksPerSector + kBlocksPerSector - 1];
    std::copy(keyA.begin(), keyA.end(), trailer.begin());
    std::copy(std::begin(kTransportAccess), std::end(kTransportAccess), trailer.begin() + kKeySize);
    std::copy(keyB.begin(), keyB.end(), trailer.begin() + kKeySize + 4);
}

bool M1Card::authenticate(std::uint8_t keyType, int sector, const Key &key)
{
    openSector = kNoSector;
    if (state != State::Active || sector < 0 || sector >= kSectors || (keyType != kKeyA && keyType != kKeyB))
        return false;
    const Block &trailer = blocks[sector * kBlocksPerSector + kBlocksPerSector - 1];
    const auto stored = trailer.begin() + (keyType == kKeyA ? 0 : kKeySize + 4);
    if (!std::equal(key.begin(), key.end(), stored))
        return false;
    openSector = sector;
    return true;
}

bool M1Card::reachable(int block) const
{
    return state == State::Active && block >= 0 && block < kBlocks && openSector == sectorOf(block);
}

bool M1Card::read(int block, Block &out) const
{
    if (!reachable(block))
        return false;
    out = blocks[block];
    if (isTrailer(block))
        std::fill(out.begin(), out.begin() + kKeySize, 0); // key A never reads back
    return true;
}

bool M1Card::write(int block, const Block &data)
{
    if (!reachable(block) || block == 0)
        return false;
    blocks[block] = data;
    return true;
}

bool M1Card::isValueBlock(const Block &b)
{
    for (int i = 0; i < 4; ++i)
        if (b[i] != b[i + 8] || b[i + 4] != std::uint8_t(~b[i]))
            return false;
    return b[12] == b[14] && b[13] == b[15] && b[13] == std::uint8_t(~b[12]);
}

bool M1Card::addValue(int block, std::uint32_t amount, bool decrement)
{
    if (!reachable(block) || block == 0 || isTrailer(block) || !isValueBlock(blocks[block]))
        return false;
    const std::uint64_t value = valueOf(blocks[block]);
    if (decrement ? amount > value : value + amount > 0xFFFFFFFFull)
        return false;
    setValue(blocks[block], std::uint32_t(decrement ? value - amount : value + amount));
    return true;
}

std::unique_ptr<M1Card> demoM1Card()
{
    auto card = std::make_unique<M1Card>(std::vector<std::uint8_t>{0x5A, 0x3C, 0x9E, 0x21});
    // Block 1: "DORVENT M1 DEMO" and a NUL.
    const char kGreeting[] = "DORVENT M1 DEMO";
    std::copy(kGreeting, kGreeting + M1Card::kBlockSize, card->blocks[1].begin());
    return card;
}

namespace {

M1Card *m1Card(Firmware &firmware) { return cardInField<M1Card>(firmware); }

Reply authenticate(Firmware &firmware, const Request &request)
{
    M1Card *card = m1Card(firmware);
    if (!card || request.params.size() != 2 + M1Card::kKeySize)
        return Reply::failed();
    M1Card::Key key;
    std::copy(request.params.begin() + 2, request.params.end(), key.begin());
    if (!card->authenticate(request.params[0], request.params[1], key))
        return Reply::failed();
    // A reader that counts its replies gives the card's SAK back.
    return firmware.replyLayout == Firmware::ReplyLayout::Counted ? firmware.acknowledge({card->sak})
                                                                  : Reply::ok();
}

Reply readBlock(Firmware &firmware, const Request &request)
{
    M1Card *card = m1Card(firmware);
    M1Card::Block block;
    if (!card || request.params.size() != 1 || !card->read(request.params[0], block))
        return Reply::failed();
    return Reply::counted(Bytes(block.begin(), block.end()));
}

Reply writeBlock(Firmware &firmware, const Request &request)
{
    M1Card *card = m1Card(firmware);
    if (!card || request.params.size() != 1 + M1Card::kBlockSize)
        return Reply::failed();
    M1Card::Block block;
    std::copy(request.params.begin() + 1, request.params.end(), block.begin());
    return card->write(request.params[0], block) ? firmware.acknowledge() : Reply::failed();
}

Reply changeValue(Firmware &firmware, const Request &request, bool decrement)
{
    M1Card *card = m1Card(firmware);
    if (!card || request.params.size() != 5)
        return Reply::failed();
    const Bytes &p = request.params;
    const std::uint32_t amount = p[1] | p[2] << 8 | p[3] << 16 | std::uint32_t(p[4]) << 24;
    return card->addValue(p[0], amount, decrement) ? firmware.acknowledge() : Reply::failed();
}

Reply increment(Firmware &firmware, const Request &request) { return changeValue(firmware, request, false); }
Reply decrement(Firmware &firmware, const Request &request) { return changeValue(firmware, request, true); }

constexpr CommandEntry kCommands[] = {
    {0x44, "M1 authenticate", authenticate, {}},
    {0x46, "M1 read block", readBlock, {}},
    {0x47, "M1 write block", writeBlock, {}},
    {0x48, "M1 increment", increment, {}},
    {0x49, "M1 decrement", decrement, {}},
};

} // namespace

void installM1Commands(CommandTable &table)
{
    table.add(kCommands);
}

} // namespace dorvent::emulator
