#include "demodeck.h"

#include "cpucards.h"
#include "emulatedreader.h"
#include "idcard.h"
#include "memorycards.h"
#include "stripe.h"

namespace dorvent::emulator {

void installDemoDeck()
{
    EmulatedReader &reader = EmulatedReader::instance();
    reader.reset();
    // Each card family puts its demo card in its place here.
    reader.deck().contactSlot(Deck::kUserSlot)->insert(demoContactCpuCard());
    reader.deck().radioField().insert(demoTypeACpuCard());
    reader.deck().idCardSam().insert(demoIdentityCard());
    // The CPU card holds the user slot: the memory card sits in SAM slot 0x0E,
    // where the memory-card commands still find it.
    reader.deck().contactSlot(0x0E)->insert(demoCard4442());
    reader.firmware().unit<StripeHead>().queueSwipe(demoStripeCard());
}

} // namespace dorvent::emulator
