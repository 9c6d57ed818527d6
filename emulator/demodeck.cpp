#include "demodeck.h"

#include "cpucards.h"
#include "emulatedreader.h"
#include "idcard.h"

namespace dorvent::emulator {

void installDemoDeck()
{
    EmulatedReader &reader = EmulatedReader::instance();
    reader.reset();
    // Each card family puts its demo card in its place here.
    reader.deck().contactSlot(Deck::kUserSlot)->insert(demoContactCpuCard());
    // The field holds one card at a time; the M1 card and the ISO 15693 tag
    // (demoM1Card(), demoIso15693Tag()) are put there instead through the
    // control channel.
    reader.deck().radioField().insert(demoTypeACpuCard());
    reader.deck().idCardSam().insert(demoIdentityCard());
}

} // namespace dorvent::emulator
