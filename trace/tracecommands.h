#pragma once

// The reader's commands by their byte (offset 5 of a request frame), for
// reading traces: a name and the family it belongs to.

namespace dorvent::trace {

struct CommandName
{
    unsigned char code;
    const char *name;
    const char *family;
};

// Null for a byte no command of ours uses.
const CommandName *commandName(unsigned char code);

} // namespace dorvent::trace
