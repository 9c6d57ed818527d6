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
//    Reply::counted(data) for a count at offset 3, Reply::custom(...) for
//    replies laid out differently, or Reply::none().
//    Requests that do not follow the common L / checksum rule say so in
//    their FrameRule.
// 3. It adds one installer below and one row to kFamilies in families.cpp.
//
// Tests and the demo deck put cards in places through
// EmulatedReader::instance().deck().

using FamilyInstaller = void (*)(CommandTable &);

// One installer per topic, each in its own file:
//
//   device_commands.cpp  the reader's own commands: beep, version
//   typea.h/.cpp         the radio field and Type A activation (TypeACard)
//   cpucards.h/.cpp      contact CPU cards, APDUs to a Type A CPU card
//   idsam.cpp            the identity-card SAM (the card model: idcard.h/.cpp)
//   m1.h/.cpp            M1 cards, a TypeACard with sectors, keys and value blocks
//   iso15693.h/.cpp      ISO 15693 tags in the radio field
//   memorycards.h/.cpp   4442 and 4428 cards in a contact slot
//   stripe.h/.cpp        the magnetic head: queued swipes, the track format
//   bankcard.h/.cpp      a bank card (contact or Type A) with its PSE and records
//   sscard.h/.cpp        the social-security card and its files
//                        (these two are cards only: they answer through the
//                        CPU-card commands and install none of their own)

// The reader's own commands: beep, version.
void installDeviceCommands(CommandTable &table);
// The radio field and Type A activation (typea.cpp).
void installTypeACommands(CommandTable &table);
// Contact CPU cards, APDUs to a Type A CPU card (cpucards.cpp).
void installCpuCardCommands(CommandTable &table);
// The identity-card SAM: find, select, reads, chip UID (idsam.cpp).
void installIdCardCommands(CommandTable &table);

// 4442 and 4428 memory cards in the user slot (memorycards.cpp).
void installMemoryCardCommands(CommandTable &table);
// The magnetic head: swipe read, cancel, format (stripe.cpp).
void installStripeCommands(CommandTable &table);
// M1 cards: authentication, blocks, value blocks (m1.cpp).
void installM1Commands(CommandTable &table);
// ISO 15693 tags: inventory, blocks, AFI, DSFID, locks (iso15693.cpp).
void installIso15693Commands(CommandTable &table);

// Every family's installer, in order.
void installFamilies(CommandTable &table);

} // namespace dorvent::emulator
