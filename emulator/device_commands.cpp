// The reader's own commands: the beep and the firmware version.

#include "families.h"

namespace dorvent::emulator {
namespace {

Reply beep(Firmware &firmware, const Request &request)
{
    if (request.params.size() != 1)
        return Reply::failed();
    firmware.beeps.push_back(request.params[0]);
    return Reply::ok();
}

Reply version(Firmware &firmware, const Request &request)
{
    if (!request.params.empty())
        return Reply::failed();
    return Reply::ok(Bytes(firmware.versionText.begin(), firmware.versionText.end()));
}

// The version request's checksum leaves out offset 1.
constexpr CommandEntry kCommands[] = {
    {0xB2, "beep", beep, {}},
    {0x10, "version", version, {/*lField*/ 1, /*params*/ 0, nullptr, /*checksumFrom*/ 2}},
};

} // namespace

void installDeviceCommands(CommandTable &table)
{
    table.add(kCommands);
}

} // namespace dorvent::emulator
