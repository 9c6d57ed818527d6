#pragma once

namespace dorvent::emulator {

// dorvent-emu's reader: plugged in, holding one demo card of each family.
void installDemoDeck();

} // namespace dorvent::emulator
