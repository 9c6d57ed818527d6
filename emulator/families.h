#pragma once

#include "firmware.h"

namespace dorvent::emulator {

// How a card family plugs into the emulated reader:
//
// 1. In its own files (emulator/<family>.h/.cpp) it defines its card models,
//    each derived from Card, and, when the reader itself keeps state for it,
//    a Unit (reached as firmware.unit<T>()).
// 2. It writes its commands as a table of CommandEntry rows {code, name,
//    handler, frame rule}. A handler gets the firmware and the checked
//    request, finds its card in the deck (deck().contactSlot(byte),
//    radioField(), idCardSam(), magneticHead()), dynamic_casts it with
//    cardAs<T>(), and returns a Reply: Reply::ok(payload), Reply::failed(),
//    Reply::custom(...) for replies laid out differently, or Reply::none().
//    Requests that do not follow the common L / checksum rule say so in
//    their FrameRule.
// 3. It adds one installer below and one row to kFamilies in families.cpp.
//
// Tests and the demo deck put cards in places through
// EmulatedReader::instance().deck().

using FamilyInstaller = void (*)(CommandTable &);

// The reader's own commands: beep, version.
void installDeviceCommands(CommandTable &table);
// Contact and contactless CPU cards, the radio field, Type A activation.
void installCpuCardCommands(CommandTable &table);

// The identity-card SAM: find, select, reads, chip UID (idcard.cpp).
void installIdCardCommands(CommandTable &table);

// Every family's installer, in order.
void installFamilies(CommandTable &table);

} // namespace dorvent::emulator
