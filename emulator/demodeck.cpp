#include "demodeck.h"

#include "emulatedreader.h"

namespace dorvent::emulator {

void installDemoDeck()
{
    EmulatedReader &reader = EmulatedReader::instance();
    reader.reset();
    // Each card family puts its demo card in its place here.
}

} // namespace dorvent::emulator
