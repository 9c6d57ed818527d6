// The identity card on the SAM's antenna: its fields laid out as the text
// block the SAM reads, its photo and fingerprint block.
#include "idcard.h"

#include <algorithm>
#include <utility>

namespace dorvent::emulator {
namespace {

using Field = std::u16string IdentityCard::Holder::*;

struct Slot
{
    std::size_t offset;
    std::size_t size; // bytes
    Field field;
};

using Holder = IdentityCard::Holder;

const Slot kResident[] = {
    {0, 30, &Holder::name},       {30, 2, &Holder::sex},         {32, 4, &Holder::nation},
    {36, 16, &Holder::birth},     {52, 70, &Holder::address},    {122, 36, &Holder::idNumber},
    {158, 30, &Holder::authority}, {188, 16, &Holder::validFrom}, {204, 16, &Holder::validTo},
};

const Slot kResidencePermit[] = {
    {0, 30, &Holder::name},          {30, 2, &Holder::sex},           {36, 16, &Holder::birth},
    {52, 70, &Holder::address},      {122, 36, &Holder::idNumber},    {158, 30, &Holder::authority},
    {188, 16, &Holder::validFrom},   {204, 16, &Holder::validTo},     {220, 18, &Holder::passNumber},
    {238, 4, &Holder::issueCount},
};

const Slot kForeignResident[] = {
    {0, 120, &Holder::englishName}, {120, 2, &Holder::sex},        {122, 30, &Holder::idNumber},
    {152, 6, &Holder::nationality}, {158, 30, &Holder::name},      {188, 16, &Holder::validFrom},
    {204, 16, &Holder::validTo},    {220, 16, &Holder::birth},     {236, 4, &Holder::cardVersion},
    {240, 8, &Holder::authority},
};

constexpr std::size_t kTypeMark = 248;

void putText(Bytes &block, std::size_t offset, std::size_t size, const std::u16string &text)
{
    for (std::size_t i = 0; i < size / 2; ++i) {
        const char16_t unit = i < text.size() ? text[i] : u' ';
        block[offset + 2 * i] = static_cast<std::uint8_t>(unit & 0xFF);
        block[offset + 2 * i + 1] = static_cast<std::uint8_t>(unit >> 8);
    }
}

Bytes fitted(Bytes bytes, std::size_t size)
{
    bytes.resize(size, 0);
    return bytes;
}

} // namespace

IdentityCard::IdentityCard(Kind kind, Holder holder, Bytes photo, Bytes fingerprint, Bytes uid)
    : m_kind(kind), m_holder(std::move(holder)), m_photo(fitted(std::move(photo), kPhotoSize)),
      m_fingerprint(fingerprint.empty() ? Bytes() : fitted(std::move(fingerprint), kFingerprintSize)),
      m_uid(std::move(uid))
{
}

Bytes IdentityCard::textBlock() const
{
    Bytes block(kTextSize, 0);
    putText(block, 0, kTextSize, u""); // reserved areas are spaces too
    const Slot *begin = std::begin(kResident);
    const Slot *end = std::end(kResident);
    if (m_kind == Kind::ResidencePermit) {
        begin = std::begin(kResidencePermit);
        end = std::end(kResidencePermit);
        putText(block, kTypeMark, 2, u"J");
    } else if (m_kind == Kind::ForeignResident) {
        begin = std::begin(kForeignResident);
        end = std::end(kForeignResident);
        putText(block, kTypeMark, 2, u"I");
    }
    for (const Slot *slot = begin; slot != end; ++slot)
        putText(block, slot->offset, slot->size, m_holder.*(slot->field));
    return block;
}

Bytes sampleFingerprint(std::uint8_t seed)
{
    // 'C', a version byte, then a deterministic pattern standing in for minutiae.
    Bytes block(IdentityCard::kFingerprintSize, 0);
    block[0] = 0x43;
    block[1] = 0x01;
    std::uint32_t state = 0x9E3779B9u * (seed + 1u);
    for (std::size_t i = 2; i < 512; ++i) {
        state = state * 1664525u + 1013904223u;
        block[i] = static_cast<std::uint8_t>(state >> 24);
    }
    return block;
}

std::unique_ptr<IdentityCard> demoIdentityCard()
{
    IdentityCard::Holder holder;
    holder.name = u"林晓雯";
    holder.sex = u"2";
    holder.nation = u"01";
    holder.birth = u"19920314";
    holder.address = u"浙江省杭州市西湖区文三路一百二十八号梧桐苑三幢二单元";
    holder.idNumber = u"330106199203140023"; // wrong check digit: nobody's number
    holder.authority = u"杭州市公安局西湖分局";
    holder.validFrom = u"20210605";
    holder.validTo = u"20410605";
    return std::make_unique<IdentityCard>(IdentityCard::Kind::Resident, std::move(holder), portraitPhoto(),
                                          sampleFingerprint());
}

} // namespace dorvent::emulator
