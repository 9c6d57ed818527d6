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
    reader.deck().radioField().insert(demoTypeACpuCard());
    reader.deck().idCardSam().insert(demoIdentityCard());
}

} // namespace dorvent::emulator
