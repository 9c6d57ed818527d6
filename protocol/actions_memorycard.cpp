// 4442 and 4428 memory cards: power, read, write, the security code and its
// remaining attempts, protection memory. "type" picks the driver family and
// the texts; it is checked after the not-open check and before any call.

#include "action.h"
#include "luvarocard.h"

#include <iterator>

namespace dorvent::protocol {
namespace {

// The driver's operations for one card type.
struct MemoryCardType
{
    const char *type;
    int (luvaroCard::*powerOn)(char *atrHex, int size);
    int (luvaroCard::*powerOff)();
    int (luvaroCard::*read)(int addr, int len, char *dataHex, int size);
    int (luvaroCard::*write)(int addr, int len, const char *dataHex);
    int (luvaroCard::*verify)(const char *pscHex);
    int (luvaroCard::*change)(const char *pscHex);
    int (luvaroCard::*readProtect)(int addr, int len, char *bitsHex, int size);
    int (luvaroCard::*writeProtect)(int addr, int len, const char *dataHex);
    int (luvaroCard::*readCount)(int *count);
};

constexpr MemoryCardType kTypes[] = {
    {"4442", &luvaroCard::luvaro_USB_4442_PowerOn, &luvaroCard::luvaro_USB_4442_PowerOff,
     &luvaroCard::luvaro_USB_4442_Read, &luvaroCard::luvaro_USB_442_Write, &luvaroCard::luvaro_USB_4442_Verify,
     &luvaroCard::luvaro_USB_4442_Change, &luvaroCard::luvaro_USB_4442_ReadProtect,
     &luvaroCard::luvaro_USB_4442_WriteProtect, &luvaroCard::luvaro_USB_4442_ReadCount},
    {"4428", &luvaroCard::luvaro_USB_4428_PowerOn, &luvaroCard::luvaro_USB_4428_PowerOff,
     &luvaroCard::luvaro_USB_4428_Read, &luvaroCard::luvaro_USB_4428_Write, &luvaroCard::luvaro_USB_4428_Verify,
     &luvaroCard::luvaro_USB_4428_Change, &luvaroCard::luvaro_USB_4428_ReadProtect,
     &luvaroCard::luvaro_USB_4428_WriteProtect, &luvaroCard::luvaro_USB_4428_ReadCount},
};

constexpr char kBadType[] = "4442 4428 卡类型入参错误";

// Each action's texts, in the order of kTypes. Power-off answers with the
// power-on texts on success; the protection actions share the plain read
// and write texts.
struct TypeTexts
{
    const char *act;
    const char *success[2];
    const char *failure[2];
};

constexpr TypeTexts kTexts[] = {
    {"card44PowerOn", {"4442卡上电成功", "4428卡上电成功"}, {"4442卡上电失败", "4428卡上电失败"}},
    {"card44PowerOff", {"4442卡上电成功", "4428卡上电成功"}, {"4442卡下电失败", "4428卡下电失败"}},
    {"card44Read", {"4442卡读卡成功", "4428卡读卡成功"}, {"4442卡读卡失败", "4428卡读卡失败"}},
    {"card44Write", {"4442卡写卡成功", "4428卡写卡成功"}, {"4442卡写卡失败", "4428卡写卡失败"}},
    {"card44AuthPIN", {"4442卡认证PIN成功", "4428卡认证PIN成功"}, {"4442卡认证PIN卡失败", "4428卡认证PIN失败"}},
    {"card44EditPIN", {"4442卡修改PIN成功", "4428卡修改PIN成功"}, {"4442卡修改PIN卡失败", "4428卡修改PIN失败"}},
    {"card44AuthNum", {"4442卡获取PIN剩余认证数次成功", "4428卡获取PIN剩余认证数次成功"},
     {"4442卡获取PIN剩余认证数次失败", "4428卡获取PIN剩余认证数次失败"}},
    {"card44ReadePro", {"4442卡读卡成功", "4428卡读卡成功"}, {"4442卡读卡失败", "4428卡读卡失败"}},
    {"card44WritePro", {"4442卡写卡成功", "4428卡写卡成功"}, {"4442卡写卡失败", "4428卡写卡失败"}},
};

constexpr int kPowerOnBufferSize = 128;
constexpr int kReadBufferSize = 2048;

// One memory-card call: the type looked up once, the reply in its texts.
class MemoryCall
{
public:
    explicit MemoryCall(ActionCall &call) : m_call(call)
    {
        const QString type = call.field("type");
        for (int i = 0; i < int(std::size(kTypes)); ++i)
            if (type == QLatin1String(kTypes[i].type))
                m_index = i;
    }

    // Answers the type error and gives null when "type" names neither.
    const MemoryCardType *type()
    {
        if (m_index >= 0)
            return &kTypes[m_index];
        m_call.reply(-1, QString::fromUtf8(kBadType));
        return nullptr;
    }

    luvaroCard &card() { return m_call.card(); }

    void answer(int code, const QString &data = QString())
    {
        const TypeTexts *texts = textsOf(m_call.act());
        if (code == 0)
            m_call.reply(0, QString::fromUtf8(texts->success[m_index]), data);
        else
            m_call.reply(code, QString::fromUtf8(texts->failure[m_index]));
    }

private:
    static const TypeTexts *textsOf(const QString &act)
    {
        for (const TypeTexts &row : kTexts)
            if (act == QLatin1String(row.act))
                return &row;
        return &kTexts[0]; // every row of kActions has its texts
    }

    ActionCall &m_call;
    int m_index = -1;
};

void powerOn(ActionCall &call)
{
    MemoryCall memory(call);
    const MemoryCardType *type = memory.type();
    if (!type)
        return;
    char atr[kPowerOnBufferSize] = {};
    const int code = (memory.card().*type->powerOn)(atr, sizeof atr - 1);
    memory.answer(code, textOf(atr));
}

void powerOff(ActionCall &call)
{
    MemoryCall memory(call);
    if (const MemoryCardType *type = memory.type())
        memory.answer((memory.card().*type->powerOff)());
}

using ReadOperation = int (luvaroCard::*)(int addr, int len, char *hex, int size);

// offset and size in, hex out: main memory or protection bits. Numbers
// beyond an int stay out of range, for the driver to refuse.
void readRange(ActionCall &call, ReadOperation MemoryCardType::*operation)
{
    const int offset = boundedDecimalValue(call.field("offset"));
    const int size = boundedDecimalValue(call.field("size"));
    MemoryCall memory(call);
    const MemoryCardType *type = memory.type();
    if (!type)
        return;
    char data[kReadBufferSize] = {};
    const int code = (memory.card().*(type->*operation))(offset, size, data, sizeof data - 1);
    memory.answer(code, textOf(data));
}

void read(ActionCall &call) { readRange(call, &MemoryCardType::read); }
void readProtection(ActionCall &call) { readRange(call, &MemoryCardType::readProtect); }

using WriteOperation = int (luvaroCard::*)(int addr, int len, const char *dataHex);

// offset, size and data in. Write protection gives the reply's payload
// length, 0 or more, on success: any such length is a success here, not an
// error code (plain writes give 0).
void writeRange(ActionCall &call, WriteOperation MemoryCardType::*operation)
{
    const int offset = boundedDecimalValue(call.field("offset"));
    const int size = boundedDecimalValue(call.field("size"));
    const QByteArray data = hexText(call.field("data"));
    MemoryCall memory(call);
    if (const MemoryCardType *type = memory.type()) {
        const int result = (memory.card().*(type->*operation))(offset, size, data.constData());
        memory.answer(result < 0 ? result : 0);
    }
}

void write(ActionCall &call) { writeRange(call, &MemoryCardType::write); }
void writeProtection(ActionCall &call) { writeRange(call, &MemoryCardType::writeProtect); }

using CodeOperation = int (luvaroCard::*)(const char *pscHex);

// "key" in: the code to verify, or the new one.
void securityCode(ActionCall &call, CodeOperation MemoryCardType::*operation)
{
    const QByteArray key = hexText(call.field("key"));
    MemoryCall memory(call);
    if (const MemoryCardType *type = memory.type())
        memory.answer((memory.card().*(type->*operation))(key.constData()));
}

void verifyCode(ActionCall &call) { securityCode(call, &MemoryCardType::verify); }
void changeCode(ActionCall &call) { securityCode(call, &MemoryCardType::change); }

void attemptsLeft(ActionCall &call)
{
    MemoryCall memory(call);
    const MemoryCardType *type = memory.type();
    if (!type)
        return;
    int count = 0;
    const int code = (memory.card().*type->readCount)(&count);
    memory.answer(code, QString::number(count));
}

// Texts in kTexts, by type.
constexpr Action kActions[] = {
    {"card44PowerOn", Gate::ReaderOpen, powerOn, nullptr, nullptr},
    {"card44PowerOff", Gate::ReaderOpen, powerOff, nullptr, nullptr},
    {"card44Read", Gate::ReaderOpen, read, nullptr, nullptr},
    {"card44Write", Gate::ReaderOpen, write, nullptr, nullptr},
    {"card44AuthPIN", Gate::ReaderOpen, verifyCode, nullptr, nullptr},
    {"card44EditPIN", Gate::ReaderOpen, changeCode, nullptr, nullptr},
    {"card44AuthNum", Gate::ReaderOpen, attemptsLeft, nullptr, nullptr},
    {"card44ReadePro", Gate::ReaderOpen, readProtection, nullptr, nullptr},
    {"card44WritePro", Gate::ReaderOpen, writeProtection, nullptr, nullptr},
};

} // namespace

ActionTable memoryCardActions() { return {kActions, std::size(kActions)}; }

} // namespace dorvent::protocol
