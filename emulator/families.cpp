#include "families.h"

namespace dorvent::emulator {

// One row per family: the table keeps every family linked into the static
// library and says in one place what the reader can do.
constexpr FamilyInstaller kFamilies[] = {
    installDeviceCommands,
    installTypeACommands,
    installCpuCardCommands,
    installIdCardCommands,
    installMemoryCardCommands,
    installStripeCommands,
    installM1Commands,
    installIso15693Commands,
};

void installFamilies(CommandTable &table)
{
    for (FamilyInstaller install : kFamilies)
        install(table);
}

} // namespace dorvent::emulator
