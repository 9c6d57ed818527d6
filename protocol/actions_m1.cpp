// M1 cards: find (Type A request, anticollision, select), sector
// authentication, block read and write, value blocks. Block numbers are
// ints (text that is not one, "4294967300" too, is 0) and reach the driver
// as their low 8 bits: 256 is block 0.

#include "action.h"
#include "luvarocard.h"

#include <iterator>

namespace dorvent::protocol {
namespace {

constexpr int kBlockTextSize = 128;

// Amounts keep their 64-bit pattern: -1 reaches the driver as 0xFFFF...FF,
// and a number beyond 64 bits as a limit the driver refuses.
unsigned long amount(ActionCall &call, const char *key)
{
    return static_cast<unsigned long>(longDecimalValue(call.field(key)));
}

// The failing step of a find, in its words.
QString findFailure(luvaroCard::TypeAStep step)
{
    switch (step) {
    case luvaroCard::TypeAStep::Request: return QStringLiteral("请求M1卡失败");
    case luvaroCard::TypeAStep::Anticollision: return QStringLiteral("M1防碰撞失败");
    default: return QStringLiteral("选择M1卡失败");
    }
}

void find(ActionCall &call)
{
    luvaroCard::TypeAActivation activation;
    const int code = call.card().findM1(activation);
    if (code != 0)
        return call.reply(code, findFailure(activation.failedStep));
    call.answer(0, QString::fromUtf8(activation.uid));
}

// Key type codes the reader takes: A is 0x60, B is 0x04.
const struct
{
    const char *text;
    unsigned char code;
} kKeyTypes[] = {{"A", 0x60}, {"B", 0x04}};
constexpr char kBadKeyType[] = "keyType入参不对"; // any other text, lowercase too

void authenticate(ActionCall &call)
{
    const int block = decimalValue(call.field("addr"));
    const QByteArray key = hexText(call.field("key"));
    const QString keyType = call.field("keyType");
    for (const auto &type : kKeyTypes) {
        if (keyType == QLatin1String(type.text)) {
            const auto sector = static_cast<unsigned char>((block / 4) & 0xFF);
            return call.answer(call.card().luvaro_USB_M1VerifyPass(type.code, sector, key.constData()));
        }
    }
    call.reply(luvaro::kFailed, QString::fromUtf8(kBadKeyType));
}

void read(ActionCall &call)
{
    const unsigned char block = lowByte(call.field("addr"));
    char text[kBlockTextSize] = {};
    const int code = call.card().luvaro_USB_M1Read(block, text, sizeof text - 1);
    call.answer(code, QString::fromUtf8(text));
}

void write(ActionCall &call)
{
    const unsigned char block = lowByte(call.field("addr"));
    const QByteArray data = hexText(call.field("data"));
    call.answer(call.card().luvaro_USB_M1Write(block, data.constData()));
}

using ValueCommand = int (luvaroCard::*)(unsigned char block, unsigned long value);

void runValue(ActionCall &call, ValueCommand command, const char *key)
{
    const unsigned char block = lowByte(call.field("addr"));
    call.answer((call.card().*command)(block, amount(call, key)));
}

void initValue(ActionCall &call) { runValue(call, &luvaroCard::luvaro_USB_M1Initval, "numInit"); }
void addValue(ActionCall &call) { runValue(call, &luvaroCard::luvaro_USB_M1Increment, "numValue"); }
void subtractValue(ActionCall &call) { runValue(call, &luvaroCard::luvaro_USB_M1Decrement, "numValue"); }

void readValue(ActionCall &call)
{
    const unsigned char block = lowByte(call.field("addr"));
    unsigned long value = 0;
    const int code = call.card().luvaro_USB_M1Readval(block, &value);
    call.answer(code, QString::number(qulonglong(value)));
}

constexpr Action kActions[] = {
    {"cardm1Find", Gate::ReaderOpen, find, "M1卡寻卡成功", nullptr},
    {"cardm1Auth", Gate::ReaderOpen, authenticate, "M1卡PIN认证成功", "M1卡PIN认证失败"},
    {"cardm1Read", Gate::ReaderOpen, read, "M1卡读卡成功", "M1卡读卡失败"},
    {"cardm1Write", Gate::ReaderOpen, write, "M1卡写卡成功", "M1卡写卡失败"},
    {"cardm1NumInit", Gate::ReaderOpen, initValue, "M1卡初始化值成功", "M1卡初始化值失败"},
    {"cardm1NumAdd", Gate::ReaderOpen, addValue, "M1卡增值成功", "M1卡增值失败"},
    {"cardm1NumDe", Gate::ReaderOpen, subtractValue, "M1卡减值成功", "M1卡减值失败"},
    {"cardm1NumRead", Gate::ReaderOpen, readValue, "M1卡读值成功", "M1卡读值失败"},
};

} // namespace

ActionTable m1Actions() { return {kActions, std::size(kActions)}; }

} // namespace dorvent::protocol
