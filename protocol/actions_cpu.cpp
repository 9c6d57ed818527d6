// Contact and contactless CPU cards, and the radio field.

#include "action.h"
#include "luvarocard.h"

#include <iterator>

namespace dorvent::protocol {
namespace {

// "11" to "14" name the reader's SAM slot codes; every other text is a
// decimal slot number, and anything unreadable is 0.
int slotNumber(const QString &text)
{
    const int sam = samSlotCode(text);
    return sam >= 0 ? sam : decimalValue(text);
}

// Answers of up to 512 bytes (the driver's own limit) fit as hex.
constexpr size_t kApduTextSize = 1024 + 1;
constexpr size_t kAtrTextSize = 256;

using PowerOn = int (luvaroCard::*)(int slot, char *atrHex, int size);

void powerOn(ActionCall &call, PowerOn reset)
{
    char atr[kAtrTextSize] = {};
    const int code = (call.card().*reset)(slotNumber(call.field("slotNo")), atr, sizeof atr - 1);
    call.answer(code, textOf(atr));
}

void coldPowerOn(ActionCall &call) { powerOn(call, &luvaroCard::luvaro_USB_ColdPowerOn); }
void hotPowerOn(ActionCall &call) { powerOn(call, &luvaroCard::luvaro_USB_HotPowerOn); }

// A refused power-off comes back as a positive status byte: still a failure.
void powerOff(ActionCall &call)
{
    call.answer(call.card().luvaro_USB_PowerOff(slotNumber(call.field("slotNo"))));
}

void runApdu(ActionCall &call)
{
    const int slot = slotNumber(call.field("slotNo"));
    const QByteArray apdu = hexText(call.field("apdu"));
    char answer[kApduTextSize] = {};
    const int code = call.card().luvaro_USB_APDU(slot, apdu.constData(), answer, sizeof answer - 1);
    call.answer(code, textOf(answer));
}

// Type A activation: the step that fails answers with its code and its own text.
QString activationFailure(luvaroCard::TypeAStep step)
{
    switch (step) {
    case luvaroCard::TypeAStep::Protocol: return QStringLiteral("设置TypeA卡失败");
    case luvaroCard::TypeAStep::Request: return QStringLiteral("请求TypeA卡失败");
    case luvaroCard::TypeAStep::Anticollision: return QStringLiteral("TypeA 防碰撞失败");
    case luvaroCard::TypeAStep::Select: return QStringLiteral("TypeA 选卡失败");
    case luvaroCard::TypeAStep::Rats: return QStringLiteral("TypeA 上电失败");
    }
    return QString();
}

void contactlessPowerOn(ActionCall &call)
{
    luvaroCard::TypeAActivation activation;
    const int code = call.card().activateTypeA(activation);
    if (code != 0)
        return call.reply(code, activationFailure(activation.failedStep));
    call.answer(0, textOf(activation.ats));
}

void contactlessApdu(ActionCall &call)
{
    const QByteArray apdu = hexText(call.field("apdu"));
    char answer[kApduTextSize] = {};
    const int code = call.card().luvaro_USB_APDUType(apdu.constData(), answer, sizeof answer - 1);
    call.answer(code, textOf(answer));
}

void fieldOff(ActionCall &call) { call.answer(call.card().luvaro_USB_SwitchRF(0)); }
void fieldOn(ActionCall &call) { call.answer(call.card().luvaro_USB_SwitchRF(1)); }

constexpr Action kActions[] = {
    {"cardClodPowerOn", Gate::ReaderOpen, coldPowerOn, "CPU卡冷复位成功", "CPU卡冷复位失败"},
    {"cardHotPowerOn", Gate::ReaderOpen, hotPowerOn, "CPU卡热复位成功", "CPU卡热复位失败"},
    {"cardPowerOff", Gate::ReaderOpen, powerOff, "CPU卡下电成功", "CPU卡下电失败"},
    {"cardRun", Gate::ReaderOpen, runApdu, "CPU卡执行APDU命令成功", "CPU卡执行APDU命令失败"},
    {"mcardPowerOn", Gate::ReaderOpen, contactlessPowerOn, "TypeA 上电成功", nullptr},
    // Powering a contactless card down means taking the field away from it;
    // answered like its siblings so pages can rely on one reply per request.
    {"mcardPowerOff", Gate::ReaderOpen, fieldOff, "TypeA 下电成功", "TypeA 下电失败"},
    {"mcardRun", Gate::ReaderOpen, contactlessApdu, "非接触CPU卡执行APDU命令成功", "非接触CPU卡执行APDU命令失败"},
    {"closeAnt", Gate::ReaderOpen, fieldOff, "关闭射频天线成功", "关闭射频天线失败"},
    {"openAnt", Gate::ReaderOpen, fieldOn, "打开射频天线成功", "打开射频天线失败"},
};

} // namespace

ActionTable cpuCardActions() { return {kActions, std::size(kActions)}; }

} // namespace dorvent::protocol
