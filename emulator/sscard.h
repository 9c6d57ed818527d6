#pragma once

#include "cpucards.h"
#include "iso7816card.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dorvent::emulator {

// What a social-security card holds. Its application sx1.sh.社会保障 has
// EF05 (card data: records 1, 3, 5, 6, 7) and EF06 (holder data: records 8,
// 9, 10, 11, 13), each record stored as identifier, length, value.
struct SocialSecurityData
{
    std::string version;               // record 3, 4 characters; the first is the generation
    std::array<std::uint8_t, 3> area;  // record 1: the area code, BCD
    std::string cardNumber;            // record 7, 9 characters
    std::uint32_t issued = 0;          // record 5, YYYYMMDD
    std::uint32_t expires = 0;         // record 6
    std::string idNumber;              // record 8, 18 characters
    std::string name;                  // record 9: UTF-8 here, GB2312 on the card, at most 30 bytes
    char sex = '1';                    // record 10: '1' male, '2' female
    std::uint8_t nation = 1;           // record 11
    std::uint32_t born = 0;            // record 13
};

// The SAM's and the cards' shared key (a SAM given another one computes
// cryptograms no card accepts).
using SsKey = std::array<std::uint8_t, 16>;
extern const SsKey kSsDemoKey;

// The card's application for a card whose power-on answer (ATR or ATS) is
// powerOnAnswer. Third-generation cards (version "3…") open EF06 only after
// EXTERNAL AUTHENTICATE with key 0x0A: the card derives the expected 8 bytes
// from its challenge, its power-on answer and its area code, answers 63Cx
// (x tries left) to a wrong cryptogram and 6983 once none are left.
Iso7816Responder::Application socialSecurityApplication(const SocialSecurityData &data,
                                                        const std::vector<std::uint8_t> &powerOnAnswer,
                                                        const SsKey &key = kSsDemoKey);

// A social-security card in a contact slot, and one in the field.
std::unique_ptr<ContactCpuCard> socialSecurityCard(const SocialSecurityData &data);
std::unique_ptr<TypeACpuCard> contactlessSocialSecurityCard(const SocialSecurityData &data);

// The SAM for a contact SAM slot: sx3.sh.社会保障, AID D15600000590, the
// 45-byte command that takes the card's data, 80FA that computes the 16-byte
// cryptogram, GET RESPONSE that hands it out.
std::unique_ptr<ContactCpuCard> socialSecuritySam(const SsKey &key = kSsDemoKey);

// Demo holders: a third- and a second-generation card (fictional; the
// identity number's check digit is wrong on purpose).
SocialSecurityData demoSocialSecurityData();
SocialSecurityData secondGenerationSocialSecurityData();

// Does this file system carry the social-security application, or the SAM's?
bool carriesSocialSecurityApplication(const Iso7816Responder &files);
bool carriesSocialSecuritySam(const Iso7816Responder &files);

} // namespace dorvent::emulator
