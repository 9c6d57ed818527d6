// Contact and contactless CPU cards, and the radio field.
#include "textmessageprocessor.h"

#include <cstring>

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
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok ? value : 0;
}

// The driver writes hex without a terminator into zeroed buffers; one byte
// is kept back so the text always ends.
template <size_t N>
QString bufferText(const char (&buffer)[N])
{
    return QString::fromUtf8(buffer, int(strnlen(buffer, N)));
}

// Answers of up to 512 bytes (the driver's own limit) fit as hex.
constexpr size_t kApduTextSize = 1024 + 1;
constexpr size_t kAtrTextSize = 256;
constexpr size_t kAtsTextSize = 128;

} // namespace

void CTextMessageProcessor::cardPowerOn(const Request &request)
{
    if (!requireOpen(request))
        return;
    const bool cold = request.act == QLatin1String("cardClodPowerOn");
    const int slot = slotNumber(request.field("slotNo"));
    char atr[kAtrTextSize] = {};
    const int code = cold ? m_card.luvaro_USB_ColdPowerOn(slot, atr, sizeof atr - 1)
                          : m_card.luvaro_USB_HotPowerOn(slot, atr, sizeof atr - 1);
    if (code != 0)
        reply(request, code, cold ? QStringLiteral("CPU卡冷复位失败") : QStringLiteral("CPU卡热复位失败"));
    else
        reply(request, 0, cold ? QStringLiteral("CPU卡冷复位成功") : QStringLiteral("CPU卡热复位成功"),
              bufferText(atr));
}

void CTextMessageProcessor::cardPowerOff(const Request &request)
{
    if (!requireOpen(request))
        return;
    const int code = m_card.luvaro_USB_PowerOff(slotNumber(request.field("slotNo")));
    // A refused power-off comes back as a positive status byte: still a failure.
    if (code != 0)
        reply(request, code, QStringLiteral("CPU卡下电失败"));
    else
        reply(request, 0, QStringLiteral("CPU卡下电成功"));
}

void CTextMessageProcessor::cardRun(const Request &request)
{
    if (!requireOpen(request))
        return;
    const int slot = slotNumber(request.field("slotNo"));
    const QByteArray apdu = request.field("apdu").toLatin1();
    char answer[kApduTextSize] = {};
    const int code = m_card.luvaro_USB_APDU(slot, apdu.constData(), answer, sizeof answer - 1);
    if (code != 0)
        reply(request, code, QStringLiteral("CPU卡执行APDU命令失败"));
    else
        reply(request, 0, QStringLiteral("CPU卡执行APDU命令成功"), bufferText(answer));
}

void CTextMessageProcessor::mcardPowerOn(const Request &request)
{
    if (!requireOpen(request))
        return;
    char ats[kAtsTextSize] = {};
    char uid[256] = {};
    int code = m_card.luvaro_USB_SetTypeA();
    if (code != 0)
        return reply(request, code, QStringLiteral("设置TypeA卡失败"));
    code = m_card.luvaro_USB_ICRequest();
    if (code != 0)
        return reply(request, code, QStringLiteral("请求TypeA卡失败"));
    code = m_card.luvaro_USB_ICAnticoll(uid, sizeof uid - 1);
    if (code != 0)
        return reply(request, code, QStringLiteral("TypeA 防碰撞失败"));
    code = m_card.luvaro_USB_ICSelect(0x41);
    if (code != 0)
        return reply(request, code, QStringLiteral("TypeA 选卡失败"));
    code = m_card.luvaro_USB_PowerOnTypeA(ats, sizeof ats - 1);
    if (code != 0)
        return reply(request, code, QStringLiteral("TypeA 上电失败"));
    reply(request, 0, QStringLiteral("TypeA 上电成功"), bufferText(ats));
}

// Powering a contactless card down means taking the field away from it;
// answered like its siblings so pages can rely on one reply per request.
void CTextMessageProcessor::mcardPowerOff(const Request &request)
{
    if (!requireOpen(request))
        return;
    const int code = m_card.luvaro_USB_SwitchRF(0);
    if (code != 0)
        reply(request, code, QStringLiteral("TypeA 下电失败"));
    else
        reply(request, 0, QStringLiteral("TypeA 下电成功"));
}

void CTextMessageProcessor::mcardRun(const Request &request)
{
    if (!requireOpen(request))
        return;
    const QByteArray apdu = request.field("apdu").toLatin1();
    char answer[kApduTextSize] = {};
    const int code = m_card.luvaro_USB_APDUType(apdu.constData(), answer, sizeof answer - 1);
    if (code != 0)
        reply(request, code, QStringLiteral("非接触CPU卡执行APDU命令失败"));
    else
        reply(request, 0, QStringLiteral("非接触CPU卡执行APDU命令成功"), bufferText(answer));
}

void CTextMessageProcessor::switchAntenna(const Request &request)
{
    if (!requireOpen(request))
        return;
    const bool on = request.act == QLatin1String("openAnt");
    const int code = m_card.luvaro_USB_SwitchRF(on ? 1 : 0);
    if (code != 0)
        reply(request, code, on ? QStringLiteral("打开射频天线失败") : QStringLiteral("关闭射频天线失败"));
    else
        reply(request, 0, on ? QStringLiteral("打开射频天线成功") : QStringLiteral("关闭射频天线成功"));
}
