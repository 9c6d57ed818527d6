// ISO 15693 tags as the reader's firmware reaches them. The reader takes
// read, write, AFI, DSFID and lock requests only with L = 1 in the header;
// their length comes from the command (and, for AFI and DSFID, from its
// first byte: 00 write with one byte more, 01 lock).

#include "iso15693.h"

#include "families.h"
#include "typea.h"

#include <algorithm>

namespace dorvent::emulator {

Iso15693Tag::Iso15693Tag(const Uid &uidBytes) : uid(uidBytes) {}

bool Iso15693Tag::writeBlock(int block, const Block &data)
{
    if (block < 0 || block >= kBlocks || blockLocked[block])
        return false;
    blocks[block] = data;
    return true;
}

bool Iso15693Tag::lockBlock(int block)
{
    if (block < 0 || block >= kBlocks || blockLocked[block])
        return false;
    blockLocked[block] = true;
    return true;
}

namespace {

bool writeOnce(std::uint8_t &field, bool locked, std::uint8_t value)
{
    if (locked)
        return false;
    field = value;
    return true;
}

bool lockOnce(bool &locked)
{
    if (locked)
        return false;
    locked = true;
    return true;
}

} // namespace

bool Iso15693Tag::writeAfi(std::uint8_t value) { return writeOnce(afi, afiLocked, value); }
bool Iso15693Tag::lockAfi() { return lockOnce(afiLocked); }
bool Iso15693Tag::writeDsfid(std::uint8_t value) { return writeOnce(dsfid, dsfidLocked, value); }
bool Iso15693Tag::lockDsfid() { return lockOnce(dsfidLocked); }

std::vector<std::uint8_t> Iso15693Tag::inventoryAnswer() const
{
    // Response flags, DSFID, UID.
    std::vector<std::uint8_t> answer{0x00, dsfid};
    answer.insert(answer.end(), uid.rbegin(), uid.rend());
    return answer;
}

std::vector<std::uint8_t> Iso15693Tag::systemInformation() const
{
    // Information flags (DSFID, AFI, memory size, IC reference present),
    // UID, DSFID, AFI, blocks - 1, block size - 1, IC reference.
    std::vector<std::uint8_t> info{0x0F};
    info.insert(info.end(), uid.rbegin(), uid.rend());
    info.insert(info.end(), {dsfid, afi, kBlocks - 1, kBlockSize - 1, kIcReference});
    return info;
}

std::unique_ptr<Iso15693Tag> demoIso15693Tag()
{
    auto tag = std::make_unique<Iso15693Tag>(Iso15693Tag::Uid{0xE0, 0x04, 0x01, 0x50, 0x12, 0x34, 0x56, 0x78});
    tag->blocks[0] = {'D', 'O', 'R', 'V'};
    tag->blocks[1] = {'E', 'N', 'T', '1'};
    return tag;
}

namespace {

constexpr std::uint8_t kResponseFlagsOk = 0x00;
constexpr std::uint8_t kWrite = 0x00;
constexpr std::uint8_t kLock = 0x01;

Iso15693Tag *tag(Firmware &firmware) { return cardInField<Iso15693Tag>(firmware); }

// A tag's answer to a write or a lock: its response flags.
Reply done(bool ok) { return ok ? Reply::counted({kResponseFlagsOk}) : Reply::failed(); }

Reply inventory(Firmware &firmware, const Request &)
{
    Iso15693Tag *t = tag(firmware);
    return t ? Reply::counted(t->inventoryAnswer()) : Reply::failed();
}

Reply systemInformation(Firmware &firmware, const Request &)
{
    Iso15693Tag *t = tag(firmware);
    if (!t)
        return Reply::failed();
    // The count at offset 3 covers the bytes after the response flags at offset 4.
    Bytes body = t->systemInformation();
    const std::uint8_t count = std::uint8_t(body.size());
    body.insert(body.begin(), {0x02, status::kOk, count, kResponseFlagsOk});
    return Reply::custom(body);
}

Reply readBlock(Firmware &firmware, const Request &request)
{
    Iso15693Tag *t = tag(firmware);
    const int block = request.params[0];
    if (!t || block >= Iso15693Tag::kBlocks)
        return Reply::failed();
    return Reply::counted(Bytes(t->blocks[block].begin(), t->blocks[block].end()));
}

Reply writeBlock(Firmware &firmware, const Request &request)
{
    Iso15693Tag *t = tag(firmware);
    Iso15693Tag::Block data;
    std::copy(request.params.begin() + 1, request.params.end(), data.begin());
    return done(t && t->writeBlock(request.params[0], data));
}

Reply lockBlock(Firmware &firmware, const Request &request)
{
    Iso15693Tag *t = tag(firmware);
    return done(t && t->lockBlock(request.params[0]));
}

Reply afi(Firmware &firmware, const Request &request)
{
    Iso15693Tag *t = tag(firmware);
    if (request.params.empty())
        return Reply::failed();
    return done(t && (request.params[0] == kWrite ? t->writeAfi(request.params[1]) : t->lockAfi()));
}

Reply dsfid(Firmware &firmware, const Request &request)
{
    Iso15693Tag *t = tag(firmware);
    if (request.params.empty())
        return Reply::failed();
    return done(t && (request.params[0] == kWrite ? t->writeDsfid(request.params[1]) : t->lockDsfid()));
}

// 00 <byte>: write; 01: lock; anything else is not a request the reader knows.
int writeOrLockParams(const Bytes &afterCommand)
{
    if (afterCommand.empty())
        return -1;
    switch (afterCommand[0]) {
    case kWrite: return 2;
    case kLock: return 1;
    default: return -1;
    }
}

constexpr FrameRule kBlockRule = {1, 1, nullptr, 1};
constexpr FrameRule kWriteRule = {1, 1 + Iso15693Tag::kBlockSize, nullptr, 1};
constexpr FrameRule kWriteOrLockRule = {1, -1, writeOrLockParams, 1};

constexpr CommandEntry kCommands[] = {
    {0x90, "15693 inventory", inventory, {}},
    {0x91, "15693 read block", readBlock, kBlockRule},
    {0x92, "15693 write block", writeBlock, kWriteRule},
    {0x93, "15693 write or lock AFI", afi, kWriteOrLockRule},
    {0x94, "15693 write or lock DSFID", dsfid, kWriteOrLockRule},
    {0x95, "15693 lock block", lockBlock, kBlockRule},
    {0x96, "15693 system information", systemInformation, {}},
};

} // namespace

void installIso15693Commands(CommandTable &table)
{
    table.add(kCommands);
}

} // namespace dorvent::emulator
