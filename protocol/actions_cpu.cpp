// Contact and contactless CPU cards, and the radio field.

#include "action.h"
#include "luvarocard.h"

#include <iterator>

namespace dorvent::protocol {
namespace {

// "11" to "14" name the reader's slot codes 0x11-0x14; every other text is a
// decimal slot number, and anything unreadable is 0.
int slotNumber(const QString &text)
{
    static const struct
    {
        const char *text;
        int slot;
    } kSlotCodes[] = {{"11", 0x11}, {"12", 0x12}, {"13", 0x13}, {"14", 0x14}};
    for (const auto &code : kSlotCodes)
        if (text == QLatin1String(code.text))
            return code.slot;
    return decimalValue(text);
}

// Answers of up to 512 bytes (the driver's own limit) fit as hex.
constexpr size_t kApduTextSize = 1024 + 1;
constexpr size_t kAtrTextSize = 256;
constexpr size_t kAtsTextSize = 128;
constexpr size_t kUidTextSize = 256;

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

// Type A activation, one driver step after another; the first that fails
// answers with its own code and text.
struct TypeAActivation
{
    char uid[kUidTextSize] = {}; // read, not reported
    char ats[kAtsTextSize] = {}; // the reply's data
};

const struct
{
    int (*run)(luvaroCard &card, TypeAActivation &activation);
    const char *failure;
} kActivationSteps[] = {
    {[](luvaroCard &card, TypeAActivation &) { return card.luvaro_USB_SetTypeA(); }, "设置TypeA卡失败"},
    {[](luvaroCard &card, TypeAActivation &) { return card.luvaro_USB_ICRequest(); }, "请求TypeA卡失败"},
    {[](luvaroCard &card, TypeAActivation &a) { return card.luvaro_USB_ICAnticoll(a.uid, sizeof a.uid - 1); },
     "TypeA 防碰撞失败"},
    {[](luvaroCard &card, TypeAActivation &) { return card.luvaro_USB_ICSelect(0x41); }, "TypeA 选卡失败"},
    {[](luvaroCard &card, TypeAActivation &a) { return card.luvaro_USB_PowerOnTypeA(a.ats, sizeof a.ats - 1); },
     "TypeA 上电失败"},
};

void contactlessPowerOn(ActionCall &call)
{
    TypeAActivation activation;
    for (const auto &step : kActivationSteps) {
        const int code = step.run(call.card(), activation);
        if (code != 0)
            return call.reply(code, QString::fromUtf8(step.failure));
    }
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
