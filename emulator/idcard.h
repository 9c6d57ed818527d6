#pragma once

#include "deck.h"
#include "firmware.h"

#include <memory>
#include <string>

namespace dorvent::emulator {

// A resident identity card (or one of the two cards that share its chip
// format) lying on the antenna of the reader's identity-card SAM.
//
// The SAM reads the card's fields as a 256-byte text block of UTF-16LE, each
// field space-padded to its fixed size, followed by the 1024-byte WLT photo
// and, for cards that carry one, a 1024-byte fingerprint block.
class IdentityCard : public Card
{
public:
    enum class Kind {
        Resident,        // the ordinary card
        ResidencePermit, // Hong Kong, Macao and Taiwan residents: type mark "J"
        ForeignResident, // foreign permanent residents: type mark "I"
    };

    // The card's fields as printed; each is space-padded (or cut) to its size.
    struct Holder
    {
        std::u16string name;        // the Chinese name
        std::u16string englishName; // foreign residents
        std::u16string sex;         // "1" male, "2" female
        std::u16string nation;      // two digits, ordinary cards
        std::u16string birth;       // YYYYMMDD
        std::u16string address;     // not on foreign residents' cards
        std::u16string idNumber;    // foreign residents: the card number
        std::u16string authority;   // foreign residents: the authority code
        std::u16string validFrom;
        std::u16string validTo;
        std::u16string passNumber;  // residence permits
        std::u16string issueCount;  // residence permits
        std::u16string nationality; // foreign residents: three letters
        std::u16string cardVersion; // foreign residents
    };

    static constexpr std::size_t kTextSize = 256;
    static constexpr std::size_t kPhotoSize = 1024;
    static constexpr std::size_t kFingerprintSize = 1024;

    // photo: the WLT block, padded with zeros or cut to 1024 bytes;
    // fingerprint: empty for a card without one, else padded or cut to 1024.
    IdentityCard(Kind kind, Holder holder, Bytes photo, Bytes fingerprint = {},
                 Bytes uid = {0x5A, 0x3C, 0x01, 0x22, 0x97, 0x40, 0x11, 0x08});

    Kind kind() const { return m_kind; }
    const Holder &holder() const { return m_holder; }
    Bytes textBlock() const;
    const Bytes &photo() const { return m_photo; }
    const Bytes &fingerprint() const { return m_fingerprint; }
    const Bytes &uid() const { return m_uid; }

    // The SAM's session with the card: found, then selected, then read.
    bool found = false;
    bool selected = false;
    void reset() override { found = selected = false; }

private:
    Kind m_kind;
    Holder m_holder;
    Bytes m_photo;
    Bytes m_fingerprint;
    Bytes m_uid;
};

// The WLT block of our portrait (102 x 126), made by our encoder once.
const Bytes &portraitPhoto();
// A fingerprint block as cards carry it: starts with 'C', deterministic content.
Bytes sampleFingerprint(std::uint8_t seed = 1);
// The demo deck's card: an ordinary card of a fictional holder, with fingerprints.
std::unique_ptr<IdentityCard> demoIdentityCard();

} // namespace dorvent::emulator
