#include "demodeck.h"

#include "emulatedreader.h"
#include "idcard.h"

namespace dorvent::emulator {

void installDemoDeck()
{
    EmulatedReader &reader = EmulatedReader::instance();
    reader.reset();
    // Each card family puts its demo card in its place here.
    reader.deck().idCardSam().insert(demoIdentityCard());
}

} // namespace dorvent::emulator
