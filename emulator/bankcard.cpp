// Bank cards: the payment directory and the debit / credit applications,
// on the common ISO 7816 file system. Nothing here runs a command itself:
// SELECT and READ RECORD are the responder's.

#include "bankcard.h"

#include <utility>

namespace dorvent::emulator {

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kPse{'1', 'P', 'A', 'Y', '.', 'S', 'Y', 'S', '.', 'D', 'D', 'F', '0', '1'};
constexpr std::uint16_t kRecordFile = 0x0001; // SFI 1 holds the records
constexpr std::uint8_t kRecordSfi = 0x01;

// tag, length, value (lengths below 128 only: these records are short).
Bytes tlv(std::initializer_list<std::uint8_t> tag, const Bytes &value)
{
    Bytes out(tag);
    out.push_back(static_cast<std::uint8_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes text(const std::string &s) { return Bytes(s.begin(), s.end()); }

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// One directory entry (tag 61): the AID, its label, its priority.
Bytes directoryEntry(const Bytes &aid, const char *label, std::uint8_t priority)
{
    return tlv({0x61}, concat({tlv({0x4F}, aid), tlv({0x50}, text(label)), tlv({0x87}, {priority})}));
}

Iso7816Responder::Application recordApplication(const Bytes &aid, Bytes record)
{
    Iso7816Responder::ElementaryFile file{kRecordFile, kRecordSfi, {}, {std::move(record)}};
    return {aid, {file}};
}

} // namespace

const std::vector<std::uint8_t> kBankDebitAid{0xA0, 0x00, 0x00, 0x03, 0x33, 0x01, 0x01, 0x01};
const std::vector<std::uint8_t> kBankCreditAid{0xA0, 0x00, 0x00, 0x03, 0x33, 0x01, 0x01, 0x02};

std::vector<std::uint8_t> track2Of(const BankCardData &data)
{
    // Digits as nibbles, 'D' between account and expiry, 'F' to fill a byte.
    std::string nibbles = data.pan + "D" + data.expiry + data.serviceCode + "0000000000";
    if (nibbles.size() % 2)
        nibbles += 'F';
    Bytes out;
    for (std::size_t i = 0; i < nibbles.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(nibbles.substr(i, 2), nullptr, 16)));
    return out;
}

std::vector<Iso7816Responder::Application> bankApplications(const BankCardData &data)
{
    // The application's record: track 2 first, then the holder's name and
    // the track-1 discretionary data.
    const Bytes record = tlv({0x70}, concat({tlv({0x57}, track2Of(data)), tlv({0x5F, 0x20}, text(data.holder)),
                                             tlv({0x9F, 0x1F}, text("0000"))}));
    Bytes directory;
    if (data.debit)
        directory = concat({directory, directoryEntry(kBankDebitAid, "UnionPay Debit", 1)});
    if (data.credit)
        directory = concat({directory, directoryEntry(kBankCreditAid, "UnionPay Credit", 2)});
    std::vector<Iso7816Responder::Application> applications{recordApplication(kPse, tlv({0x70}, directory))};
    if (data.debit)
        applications.push_back(recordApplication(kBankDebitAid, record));
    if (data.credit)
        applications.push_back(recordApplication(kBankCreditAid, record));
    return applications;
}

std::unique_ptr<TypeACpuCard> contactlessBankCard(const BankCardData &data)
{
    // ATS: TL, T0 (FSCI 8, TA TB TC follow), TA, TB, TC, historical "BK".
    return std::make_unique<TypeACpuCard>(Bytes{0x08, 0x62, 0x4B, 0x1D},
                                          Bytes{0x07, 0x78, 0x80, 0x70, 0x02, 'B', 'K'},
                                          Iso7816Responder({}, bankApplications(data)));
}

std::unique_ptr<ContactCpuCard> contactBankCard(const BankCardData &data)
{
    // T=0, TB1 TC1 present, historical bytes "PBOCBANK".
    return std::make_unique<ContactCpuCard>(Bytes{0x3B, 0x68, 0x00, 0x00, 'P', 'B', 'O', 'C', 'B', 'A', 'N', 'K'},
                                            Iso7816Responder({}, bankApplications(data)));
}

BankCardData demoBankCardData()
{
    BankCardData data;
    data.pan = "6299009988776655440";
    data.expiry = "3012";
    data.serviceCode = "220";
    data.holder = "ZHOU/MINGYUE";
    data.debit = true;
    data.credit = true;
    return data;
}

bool carriesBankApplication(const Iso7816Responder &files)
{
    return files.hasApplication(kBankDebitAid) || files.hasApplication(kBankCreditAid);
}

} // namespace dorvent::emulator
