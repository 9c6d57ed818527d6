#include "demodeck.h"

#include "bankcard.h"
#include "cpucards.h"
#include "emulatedreader.h"
#include "idcard.h"
#include "memorycards.h"
#include "sscard.h"
#include "stripe.h"

#include <utility>

namespace dorvent::emulator {

void installDemoDeck()
{
    EmulatedReader &reader = EmulatedReader::instance();
    reader.reset();
    // Each card family puts its demo card in its place here.
    auto contactCard = demoContactCpuCard();
    auto fieldCard = demoTypeACpuCard();
    // The field and slot 1 hold one card each, and the CPU-card demo keeps
    // its two: the card in the field also carries the bank applications, the
    // one in slot 1 a third-generation social-security application (its SAM
    // in slot 0x11). The M1 card and the ISO 15693 tag (demoM1Card(),
    // demoIso15693Tag()) are put in the field instead through the control
    // channel.
    for (auto &application : bankApplications(demoBankCardData()))
        fieldCard->files.install(std::move(application));
    contactCard->files.install(socialSecurityApplication(demoSocialSecurityData(), contactCard->atr));
    reader.deck().contactSlot(Deck::kUserSlot)->insert(std::move(contactCard));
    reader.deck().radioField().insert(std::move(fieldCard));
    reader.deck().contactSlot(0x0D)->insert(socialSecuritySam());
    reader.deck().idCardSam().insert(demoIdentityCard());
    // The CPU card holds the user slot: the memory card sits in SAM slot 0x0E,
    // where the memory-card commands still find it.
    reader.deck().contactSlot(0x0E)->insert(demoCard4442());
    reader.firmware().unit<StripeHead>().queueSwipe(demoStripeCard());
}

} // namespace dorvent::emulator
