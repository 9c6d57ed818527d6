#pragma once

#include "cpucards.h"
#include "iso7816card.h"

#include <memory>
#include <string>
#include <vector>

namespace dorvent::emulator {

// A bank card's payment data: the payment directory 1PAY.SYS.DDF01 with its
// directory record, and the debit (A000000333010101) and / or credit
// (A000000333010102) application, each with record 1 of SFI 1 holding the
// track-2 equivalent data (tag 57) among other tags.
struct BankCardData
{
    std::string pan;            // digits only
    std::string expiry;         // YYMM
    std::string serviceCode;    // three digits
    std::string holder;         // tag 5F20, ASCII
    bool debit = true;          // carries A000000333010101
    bool credit = false;        // carries A000000333010102
};

// The AIDs of the two applications.
extern const std::vector<std::uint8_t> kBankDebitAid;
extern const std::vector<std::uint8_t> kBankCreditAid;

// The directory and the applications the card carries, ready to install on
// any CPU card's file system.
std::vector<Iso7816Responder::Application> bankApplications(const BankCardData &data);
// The track-2 equivalent data as the card stores it (BCD, 'D' as separator).
std::vector<std::uint8_t> track2Of(const BankCardData &data);

// A bank card in the field or in a contact slot, carrying nothing else.
std::unique_ptr<TypeACpuCard> contactlessBankCard(const BankCardData &data);
std::unique_ptr<ContactCpuCard> contactBankCard(const BankCardData &data);

// The demo holder: a fictional 19-digit account that passes the Luhn check,
// on a card with both applications.
BankCardData demoBankCardData();

// Does this file system carry a payment application?
bool carriesBankApplication(const Iso7816Responder &files);

} // namespace dorvent::emulator
