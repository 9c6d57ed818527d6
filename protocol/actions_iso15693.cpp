// ISO 15693 tags: inventory, blocks, AFI and DSFID, locks, system
// information. Several success and failure texts begin with "1593", others
// with "15693": pages match on both, so they stay as they are. "addr" and
// "afidsiddata" are decimal ints ("0x07" and "4294967300" are 0); the
// driver takes their low 8 bits.

#include "action.h"
#include "luvarocard.h"

#include <iterator>

namespace dorvent::protocol {
namespace {

constexpr int kTextSize = 256;

using PlainCommand = int (luvaroCard::*)(char *outHex, int size);
using ByteCommand = int (luvaroCard::*)(unsigned char value, char *outHex, int size);

void runPlain(ActionCall &call, PlainCommand command, bool withData)
{
    char text[kTextSize] = {};
    const int code = (call.card().*command)(text, kTextSize - 1);
    call.answer(code, withData ? textOf(text) : QString());
}

void runWithByte(ActionCall &call, ByteCommand command, const char *key, bool withData)
{
    const unsigned char value = lowByte(call.field(key));
    char text[kTextSize] = {};
    const int code = (call.card().*command)(value, text, kTextSize - 1);
    call.answer(code, withData ? textOf(text) : QString());
}

void find(ActionCall &call) { runPlain(call, &luvaroCard::luvaro_USB_15693_Find, true); }
void info(ActionCall &call) { runPlain(call, &luvaroCard::luvaro_USB_15693_Info, true); }
void lockAfi(ActionCall &call) { runPlain(call, &luvaroCard::luvaro_USB_15693_LockAFI, false); }
void lockDsfid(ActionCall &call) { runPlain(call, &luvaroCard::luvaro_USB_15693_LockDSFID, false); }
void read(ActionCall &call) { runWithByte(call, &luvaroCard::luvaro_USB_15693_Read, "addr", true); }
void writeAfi(ActionCall &call) { runWithByte(call, &luvaroCard::luvaro_USB_15693_WriteAFI, "afidsiddata", false); }
void writeDsfid(ActionCall &call) { runWithByte(call, &luvaroCard::luvaro_USB_15693_WriteDSFID, "afidsiddata", false); }
void lockBlock(ActionCall &call) { runWithByte(call, &luvaroCard::luvaro_USB_5693_LockDataBlock, "addr", false); }

void write(ActionCall &call)
{
    const unsigned char block = lowByte(call.field("addr"));
    const QByteArray data = hexText(call.field("data"));
    call.answer(call.card().luvaro_USB_15693_Write(block, data.constData()));
}

constexpr Action kActions[] = {
    {"card15693Find", Gate::ReaderOpen, find, "15693卡寻卡成功", "15693卡寻卡失败"},
    {"card15693Read", Gate::ReaderOpen, read, "1593读卡成功", "15693读卡失败"},
    {"card15693Write", Gate::ReaderOpen, write, "1593写卡成功", "1593写卡失败"},
    {"card15693WriteAFI", Gate::ReaderOpen, writeAfi, "1593写AFI成功", "1593写AFI失败"},
    {"card15693LockAFI", Gate::ReaderOpen, lockAfi, "15693锁AFI成功", "15693锁AFI失败"},
    {"card15693WriteDSFID", Gate::ReaderOpen, writeDsfid, "1593写DSFID成功", "1593写DSFID失败"},
    {"card15693LockDSFID", Gate::ReaderOpen, lockDsfid, "15693锁DSFID成功", "15693锁DSFID失败"},
    {"card15693Lock", Gate::ReaderOpen, lockBlock, "15693锁定块成功", "15693锁定块失败"},
    {"card15693Info", Gate::ReaderOpen, info, "获取15693卡信息成功", "获取15693卡信息失败"},
};

} // namespace

ActionTable iso15693Actions() { return {kActions, std::size(kActions)}; }

} // namespace dorvent::protocol
