// Social-security cards and their SAM. The third-generation card opens its
// holder file only to an external authentication; the SAM computes the
// cryptogram from the 40 bytes of card data it is given, and the card
// derives the same from what it knows (its power-on answer, its area code,
// the challenge it gave), so a wrong byte anywhere makes the card refuse.

#include "sscard.h"

#include <iconv.h>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace dorvent::emulator {

namespace {

using Bytes = std::vector<std::uint8_t>;
using Block = std::array<std::uint8_t, 16>;

Bytes sw(std::uint16_t word) { return {static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word)}; }

constexpr std::uint16_t kOk = 0x9000;
constexpr std::uint16_t kWrongLength = 0x6700;
constexpr std::uint16_t kSecurityNotSatisfied = 0x6982;
constexpr std::uint16_t kAuthenticationBlocked = 0x6983;
constexpr std::uint16_t kNoChallenge = 0x6984;
constexpr std::uint16_t kConditionsNotSatisfied = 0x6985;
constexpr std::uint16_t kKeyNotFound = 0x6A88;
constexpr std::uint16_t kTriesLeft = 0x63C0;      // | tries left
constexpr std::uint16_t kResponseWaiting = 0x6100; // | bytes waiting
constexpr std::uint16_t kWrongLe = 0x6C00;         // | the right Le

constexpr std::uint16_t kCardFile = 0xEF05;
constexpr std::uint16_t kHolderFile = 0xEF06;
constexpr std::uint8_t kAuthenticationKey = 0x0A;
constexpr int kMaxTries = 3;
constexpr std::size_t kNameBytes = 30;
constexpr std::size_t kPowerOnTail = 8;
constexpr std::size_t kChallengeSize = 8;

// sx1.sh. / sx3.sh. followed by 社会保障 in GB2312.
const Bytes kCardAid{'s', 'x', '1', '.', 's', 'h', '.', 0xC9, 0xE7, 0xBB, 0xE1, 0xB1, 0xA3, 0xD5, 0xCF};
const Bytes kSamName{'s', 'x', '3', '.', 's', 'h', '.', 0xC9, 0xE7, 0xBB, 0xE1, 0xB1, 0xA3, 0xD5, 0xCF};
const Bytes kSamAid{0xD1, 0x56, 0x00, 0x00, 0x05, 0x90};

// ---- The keyed function the SAM and the cards share ----

std::uint32_t rotl(std::uint32_t v, int n) { return v << n | v >> (32 - n); }

void quarterRound(std::array<std::uint32_t, 4> &s)
{
    s[0] += s[1], s[3] ^= s[0], s[3] = rotl(s[3], 16);
    s[2] += s[3], s[1] ^= s[2], s[1] = rotl(s[1], 12);
    s[0] += s[1], s[3] ^= s[0], s[3] = rotl(s[3], 8);
    s[2] += s[3], s[1] ^= s[2], s[1] = rotl(s[1], 7);
}

std::uint32_t word(const std::uint8_t *b) { return b[0] | b[1] << 8 | b[2] << 16 | std::uint32_t(b[3]) << 24; }

// Absorbs the data 8 bytes at a time into a state keyed by `key`, with
// rounds after each step: every output byte depends on every input byte.
Block keyedMix(const Block &key, const Bytes &data)
{
    std::array<std::uint32_t, 4> s{word(&key[0]), word(&key[4]), word(&key[8]), word(&key[12])};
    s[3] ^= static_cast<std::uint32_t>(data.size());
    for (std::size_t i = 0; i < data.size(); i += 8) {
        std::uint8_t chunk[8] = {};
        std::copy(data.begin() + i, data.begin() + std::min(data.size(), i + 8), chunk);
        s[0] ^= word(chunk);
        s[1] ^= word(chunk + 4);
        for (int r = 0; r < 6; ++r)
            quarterRound(s);
        s[2] ^= word(&key[8]);
        s[3] ^= word(&key[12]);
    }
    for (int r = 0; r < 8; ++r)
        quarterRound(s);
    Block out;
    for (int i = 0; i < 16; ++i)
        out[i] = static_cast<std::uint8_t>(s[i / 4] >> (8 * (i % 4))) ^ key[i];
    return out;
}

// The SAM's answer for the card data and the 16-byte block of 80FA.
Block cryptogram(const Block &key, const Bytes &cardData, const Bytes &block)
{
    return keyedMix(keyedMix(key, cardData), block);
}

// ---- Record contents ----

Bytes record(std::uint8_t id, Bytes value)
{
    Bytes out(2 + value.size());
    out[0] = id;
    out[1] = static_cast<std::uint8_t>(value.size());
    std::copy(value.begin(), value.end(), out.begin() + 2);
    return out;
}

Bytes bcdDate(std::uint32_t yyyymmdd)
{
    Bytes out(4);
    for (int i = 3; i >= 0; --i, yyyymmdd /= 100)
        out[i] = static_cast<std::uint8_t>((yyyymmdd % 100 / 10) << 4 | yyyymmdd % 10);
    return out;
}

Bytes text(const std::string &s, std::size_t width)
{
    Bytes out(s.begin(), s.end());
    out.resize(width, 0x00);
    return out;
}

// The name as the card stores it: GB2312, zero-padded.
Bytes gb2312(const std::string &utf8)
{
    Bytes out(kNameBytes, 0x00);
    iconv_t converter = iconv_open("GB2312", "UTF-8");
    if (converter == reinterpret_cast<iconv_t>(-1))
        return out;
    char *in = const_cast<char *>(utf8.data());
    std::size_t inLeft = utf8.size();
    char *at = reinterpret_cast<char *>(out.data());
    std::size_t outLeft = out.size();
    iconv(converter, &in, &inLeft, &at, &outLeft);
    iconv_close(converter);
    return out;
}

// The area code as the card and the SAM see it: six digits.
std::string areaDigits(const std::array<std::uint8_t, 3> &area)
{
    char digits[7];
    std::snprintf(digits, sizeof digits, "%02X%02X%02X", area[0], area[1], area[2]);
    return digits;
}

// The 40 bytes the SAM is given, as the card rebuilds them.
Bytes cardData(const Bytes &powerOnAnswer, const std::string &area, const Bytes &challenge)
{
    Bytes data(kPowerOnTail, 0x00);
    const std::size_t take = std::min(powerOnAnswer.size(), kPowerOnTail);
    std::copy(powerOnAnswer.end() - take, powerOnAnswer.end(), data.end() - take);
    data.insert(data.end(), area.begin(), area.end());
    data.insert(data.end(), {'s', 'x', static_cast<std::uint8_t>(area[0]), static_cast<std::uint8_t>(area[1]),
                             '0', '0', '0', '0', 's', 'h'});
    data.insert(data.end(), challenge.begin(), challenge.end());
    data.resize(40, 0x00);
    return data;
}

// ---- The card ----

class SocialSecurityApplet : public Iso7816Responder::Applet
{
public:
    SocialSecurityApplet(Bytes powerOnAnswer, std::string area, bool protectsHolder, const SsKey &key)
        : m_powerOnAnswer(std::move(powerOnAnswer)), m_area(std::move(area)),
          m_protectsHolder(protectsHolder), m_key(key)
    {
    }

    Bytes transmit(const Iso7816Responder &card, const Bytes &command) override
    {
        const std::uint8_t ins = command[1];
        if (ins == 0xB2 && m_protectsHolder && !m_authenticated && card.currentFileId() == kHolderFile)
            return sw(kSecurityNotSatisfied);
        if (ins == 0x82)
            return externalAuthenticate(card, command);
        return {};
    }

    // Challenges start over at power-on, so the one used last session may come again.
    void reset() override
    {
        m_authenticated = false;
        m_usedChallenge.clear();
    }

private:
    // 00 82 00 0A 10, 8 bytes from the SAM, 8 bytes of the block's first half.
    Bytes externalAuthenticate(const Iso7816Responder &card, const Bytes &command)
    {
        if (m_triesLeft == 0)
            return sw(kAuthenticationBlocked);
        if (command.size() != 21 || command[4] != 0x10)
            return sw(kWrongLength);
        if (command[3] != kAuthenticationKey)
            return sw(kKeyNotFound);
        const Bytes &challenge = card.lastChallenge();
        if (challenge.size() != kChallengeSize || challenge == m_usedChallenge)
            return sw(kNoChallenge);
        m_usedChallenge = challenge;

        Bytes block(command.begin() + 13, command.end());
        block.resize(16, 0x00);
        const Block r = cryptogram(m_key, cardData(m_powerOnAnswer, m_area, challenge), block);
        bool match = true;
        for (int i = 0; i < 8; ++i)
            match = match && command[5 + i] == (r[i] ^ r[i + 8]);
        if (!match) {
            --m_triesLeft;
            return sw(static_cast<std::uint16_t>(kTriesLeft | m_triesLeft));
        }
        m_triesLeft = kMaxTries;
        m_authenticated = true;
        return sw(kOk);
    }

    const Bytes m_powerOnAnswer;
    const std::string m_area;
    const bool m_protectsHolder;
    const SsKey m_key;
    bool m_authenticated = false;
    int m_triesLeft = kMaxTries; // kept over power-off, as in the card's memory
    Bytes m_usedChallenge;
};

// ---- The SAM ----

class SocialSecuritySamApplet : public Iso7816Responder::Applet
{
public:
    explicit SocialSecuritySamApplet(const SsKey &key) : m_key(key) {}

    Bytes transmit(const Iso7816Responder &, const Bytes &command) override
    {
        const std::uint8_t cla = command[0], ins = command[1];
        if (cla == 0xBF && ins == 0xDE) { // takes the card's data
            if (command.size() != 45 || command[4] != 0x28)
                return sw(kWrongLength);
            m_cardData.assign(command.begin() + 5, command.end());
            m_response.clear();
            return sw(kOk);
        }
        if (cla == 0x80 && ins == 0xFA) { // computes over a 16-byte block
            if (m_cardData.empty())
                return sw(kConditionsNotSatisfied);
            if (command.size() != 21 || command[4] != 0x10)
                return sw(kWrongLength);
            const Block r = cryptogram(m_key, m_cardData, Bytes(command.begin() + 5, command.end()));
            m_response.assign(r.begin(), r.end());
            return sw(static_cast<std::uint16_t>(kResponseWaiting | m_response.size()));
        }
        if (cla == 0x00 && ins == 0xC0) { // GET RESPONSE
            if (m_response.empty())
                return sw(kConditionsNotSatisfied);
            if (command.size() != 5 || command[4] != m_response.size())
                return sw(static_cast<std::uint16_t>(kWrongLe | m_response.size()));
            Bytes answer = std::move(m_response);
            m_response.clear();
            answer.insert(answer.end(), {0x90, 0x00});
            return answer;
        }
        return {};
    }

    void reset() override
    {
        m_cardData.clear();
        m_response.clear();
    }

private:
    const SsKey m_key;
    Bytes m_cardData;
    Bytes m_response;
};

const Bytes kContactAtr{0x3B, 0x68, 0x00, 0x00, 'S', 'S', 'C', 'A', 'R', 'D', '0', '3'};
const Bytes kContactlessUid{0x04, 0x5C, 0x1A, 0x2E};
const Bytes kContactlessAts{0x07, 0x78, 0x80, 0x70, 0x02, 'S', 'S'}; // shorter than 8 bytes
const Bytes kSamAtr{0x3B, 0x68, 0x00, 0x00, 'S', 'S', 'S', 'A', 'M', '0', '0', '1'};

} // namespace

const SsKey kSsDemoKey{0x5D, 0x0F, 0x76, 0x3A, 0xC1, 0x29, 0x84, 0xE6,
                       0x1B, 0x9F, 0x40, 0xD2, 0x67, 0xA8, 0x35, 0xEC};

Iso7816Responder::Application socialSecurityApplication(const SocialSecurityData &data,
                                                        const std::vector<std::uint8_t> &powerOnAnswer,
                                                        const SsKey &key)
{
    Iso7816Responder::ElementaryFile cardFile{kCardFile, 0x05, {}, std::vector<Bytes>(7)};
    Bytes identification{data.area.begin(), data.area.end()};
    identification.insert(identification.end(), {0x01, 0xD1, 0x56, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00,
                                                  0x00, 0x00, 0x01}); // card type, issuer, serial
    cardFile.records[0] = record(1, identification);
    cardFile.records[2] = record(3, text(data.version, 4));
    cardFile.records[4] = record(5, bcdDate(data.issued));
    cardFile.records[5] = record(6, bcdDate(data.expires));
    cardFile.records[6] = record(7, text(data.cardNumber, 9));

    Iso7816Responder::ElementaryFile holderFile{kHolderFile, 0x06, {}, std::vector<Bytes>(13)};
    holderFile.records[7] = record(8, text(data.idNumber, 18));
    holderFile.records[8] = record(9, gb2312(data.name));
    holderFile.records[9] = record(10, {static_cast<std::uint8_t>(data.sex)});
    holderFile.records[10] = record(11, {data.nation});
    holderFile.records[12] = record(13, bcdDate(data.born));

    const bool thirdGeneration = !data.version.empty() && data.version[0] == '3';
    return {kCardAid,
            {cardFile, holderFile},
            std::make_shared<SocialSecurityApplet>(powerOnAnswer, areaDigits(data.area), thirdGeneration, key)};
}

std::unique_ptr<ContactCpuCard> socialSecurityCard(const SocialSecurityData &data)
{
    return std::make_unique<ContactCpuCard>(kContactAtr,
                                            Iso7816Responder({}, {socialSecurityApplication(data, kContactAtr)}));
}

std::unique_ptr<TypeACpuCard> contactlessSocialSecurityCard(const SocialSecurityData &data)
{
    return std::make_unique<TypeACpuCard>(kContactlessUid, kContactlessAts,
                                          Iso7816Responder({}, {socialSecurityApplication(data, kContactlessAts)}));
}

std::unique_ptr<ContactCpuCard> socialSecuritySam(const SsKey &key)
{
    Iso7816Responder files({}, {{kSamName, {}}, {kSamAid, {}, std::make_shared<SocialSecuritySamApplet>(key)}});
    return std::make_unique<ContactCpuCard>(kSamAtr, std::move(files));
}

// Fields in the record's order: version, area, card number, issued, expires,
// identity number, name, sex, nation, born.
SocialSecurityData demoSocialSecurityData()
{
    // The identity number's check digit would be 3.
    return {"3.00", {0x33, 0x01, 0x00}, "A33012345", 20210315, 20310315, "330106198805120024", "欧阳明月", '2', 1,
            19880512};
}

SocialSecurityData secondGenerationSocialSecurityData()
{
    // The identity number's check digit would be 8.
    return {"2.00", {0x11, 0x01, 0x00}, "B11054321", 20150823, 20250823, "110105197508230041", "司马长风", '1', 3,
            19750823};
}

bool carriesSocialSecurityApplication(const Iso7816Responder &files) { return files.hasApplication(kCardAid); }
bool carriesSocialSecuritySam(const Iso7816Responder &files) { return files.hasApplication(kSamAid); }

} // namespace dorvent::emulator
