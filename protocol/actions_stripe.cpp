// The magnetic-stripe head: set and query its format, read a swiped card.
// "scardRead" holds the reader, not the service, for up to "outTime" seconds
// while it waits for the swipe.

#include "action.h"
#include "luvarocard.h"

#include <QTimer>
#include <QWebSocket>

#include <iterator>

namespace dorvent::protocol {
namespace {

constexpr int kSwipeBufferSize = 512;
constexpr int kSettingsBufferSize = 8;

// The format block described, piece by piece: mode, tracks, content, line end.
constexpr unsigned char kActiveOutput = 0xA5;
constexpr char kActiveText[] = "主动输出";
constexpr char kPassiveText[] = "被动输出";

struct ByteText
{
    unsigned char value;
    const char *text;
};
constexpr ByteText kTrackTexts[] = {{1, ";磁道1"}, {2, ";磁道2"}, {3, ";磁道3"}, {4, ";磁道2/3"}};
constexpr ByteText kContentTexts[] = {{0, ";全部输出"}, {1, ";出去起始接收符输出"}, {2, ";只输出数据"}};
constexpr char kLineEndText[] = ";换行输出";
constexpr char kNoLineEndText[] = ";不换行输出";

// Nothing for a value without a text.
template <size_t N>
QString textFor(const ByteText (&table)[N], unsigned char value)
{
    for (const ByteText &row : table)
        if (row.value == value)
            return QString::fromUtf8(row.text);
    return QString();
}

QString describe(const unsigned char *block)
{
    return QString::fromUtf8(block[0] == kActiveOutput ? kActiveText : kPassiveText)
           + textFor(kTrackTexts, block[1]) + textFor(kContentTexts, block[2])
           + QString::fromUtf8(block[3] != 0 ? kLineEndText : kNoLineEndText);
}

void setFormat(ActionCall &call)
{
    const int outType = decimalValue(call.field("outType"));
    const unsigned char setting[] = {lowByte(call.field("mgNum")), lowByte(call.field("outInfo")),
                                     lowByte(call.field("appendEnter"))};
    call.answer(call.card().luvaro_USB_SetMagType(outType, setting));
}

void queryFormat(ActionCall &call)
{
    unsigned char block[kSettingsBufferSize] = {};
    const int code = call.card().luvaro_USB_ReadMagType(block);
    call.answer(code, code == 0 ? describe(block) : QString());
}

// A swipe read that has to wait for the card polls from the event loop, so
// other clients are still accepted and answered meanwhile (their reader
// requests wait for it). Its client leaving ends the wait with the cancel.
class SwipeRead : public HeldCall
{
public:
    SwipeRead(ActionCall &call, const luvaroCard::SwipeWait &wait) : HeldCall(call), m_wait(wait)
    {
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, [this] { poll(); });
        if (QWebSocket *client = socket())
            connect(client, &QWebSocket::disconnected, this, [this] { abandon(); });
        m_timer.start(swipePollInterval());
    }

private:
    void poll()
    {
        if (finished())
            return;
        if (!socket())
            return abandon();
        char data[kSwipeBufferSize] = {};
        const int code = card().swipePoll(m_wait, data, sizeof data - 1);
        if (code == luvaroCard::kSwipePending)
            return m_timer.start(swipePollInterval());
        answer(code, textOf(data));
    }

    void abandon()
    {
        if (finished())
            return;
        m_timer.stop();
        card().swipeAbandon();
        finish();
    }

    luvaroCard::SwipeWait m_wait;
    QTimer m_timer;
};

int g_swipePollInterval = luvaroCard::kSwipePollMs;

void readSwipe(ActionCall &call)
{
    const unsigned char outTime = lowByte(call.field("outTime"));
    const int mgNum = decimalValue(call.field("mgNum"));
    char data[kSwipeBufferSize] = {};
    luvaroCard::SwipeWait wait;
    const int code = call.card().swipeBegin(wait, outTime, mgNum, data, sizeof data - 1);
    if (code == luvaroCard::kSwipePending)
        new SwipeRead(call, wait); // deletes itself when done
    else
        call.answer(code, textOf(data));
}

constexpr Action kActions[] = {
    {"scardSet", Gate::ReaderOpen, setFormat, "设置磁条卡成功", "设置磁条卡失败"},
    {"scardGet", Gate::ReaderOpen, queryFormat, "磁条卡读取设置成功", "磁条卡读取设置失败"},
    {"scardRead", Gate::ReaderOpen, readSwipe, "磁条卡刷卡成功", "磁条卡刷卡失败"},
};

} // namespace

int swipePollInterval() { return g_swipePollInterval; }
void setSwipePollInterval(int milliseconds) { g_swipePollInterval = milliseconds; }

ActionTable stripeActions() { return {kActions, std::size(kActions)}; }

} // namespace dorvent::protocol
