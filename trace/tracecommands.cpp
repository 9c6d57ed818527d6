#include "tracecommands.h"

namespace dorvent::trace {

namespace {

constexpr CommandName kCommands[] = {
    {0x10, "version", "reader"},
    {0xB2, "beep", "reader"},
    {0x74, "contact cold reset", "contact CPU card"},
    {0x75, "contact warm reset", "contact CPU card"},
    {0x73, "contact power-off", "contact CPU card"},
    {0x72, "contact APDU", "contact CPU card"},
    {0x86, "contactless APDU", "contactless CPU card"},
    {0x4E, "radio field", "Type A"},
    {0x87, "radio protocol", "Type A"},
    {0x41, "Type A request", "Type A"},
    {0x42, "Type A anticollision", "Type A"},
    {0x43, "Type A select", "Type A"},
    {0x8A, "Type B select", "Type A"},
    {0x85, "Type A RATS", "Type A"},
    {0x44, "M1 authenticate", "M1"},
    {0x46, "M1 read block", "M1"},
    {0x47, "M1 write block", "M1"},
    {0x48, "M1 increment", "M1"},
    {0x49, "M1 decrement", "M1"},
    {0x90, "15693 inventory", "ISO 15693"},
    {0x91, "15693 read block", "ISO 15693"},
    {0x92, "15693 write block", "ISO 15693"},
    {0x93, "15693 write or lock AFI", "ISO 15693"},
    {0x94, "15693 write or lock DSFID", "ISO 15693"},
    {0x95, "15693 lock block", "ISO 15693"},
    {0x96, "15693 system information", "ISO 15693"},
    {0x50, "4442 power-on", "4442"},
    {0x51, "4442 power-off", "4442"},
    {0x52, "4442 read", "4442"},
    {0x53, "4442 write", "4442"},
    {0x54, "4442 verify code", "4442"},
    {0x55, "4442 change code", "4442"},
    {0x56, "4442 read protection", "4442"},
    {0x57, "4442 write protection", "4442"},
    {0x58, "4442 error counter", "4442"},
    {0x60, "4428 power-on", "4428"},
    {0x61, "4428 power-off", "4428"},
    {0x62, "4428 read", "4428"},
    {0x63, "4428 write", "4428"},
    {0x64, "4428 verify code", "4428"},
    {0x65, "4428 change code", "4428"},
    {0x66, "4428 read protection", "4428"},
    {0x67, "4428 write protection", "4428"},
    {0x68, "4428 error counter", "4428"},
    {0x30, "swipe read", "magnetic stripe"},
    {0xB3, "cancel the swipe wait", "magnetic stripe"},
    {0x3F, "set stripe format", "magnetic stripe"},
    {0x3E, "query stripe format", "magnetic stripe"},
    {0xB0, "find", "identity card"},
    {0xB1, "select", "identity card"},
    {0xB4, "read", "identity card"},
    {0xB5, "extended read", "identity card"},
    {0x12, "chip UID", "identity card"},
};

} // namespace

const CommandName *commandName(unsigned char code)
{
    for (const CommandName &command : kCommands)
        if (command.code == code)
            return &command;
    return nullptr;
}

} // namespace dorvent::trace
