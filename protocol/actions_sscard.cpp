// The social-security card: the holder's and the card's data, third-
// generation cards authenticated through the SAM in a contact SAM slot.

#include "action.h"
#include "textmessageprocessor.h"

#include <QJsonObject>

#include <cstring>
#include <iterator>

using dorvent::protocol::textOf;

namespace {

// Every field, present even when empty ("cardveVrsion" as clients know it).
QJsonObject socialSecurityFields(const SSCard_IDINFO &record)
{
    const struct
    {
        const char *key;
        QString text;
    } fields[] = {
        {"name", textOf(record.name)},
        {"sex", textOf(record.sex)},
        {"nation", textOf(record.nation)},
        {"birthday", textOf(record.birth)},
        {"signdate", textOf(record.signDate)},
        {"validterm", textOf(record.validTerm)},
        {"cardnumber", textOf(record.cardNumber)},
        {"idnumber", textOf(record.idNumber)},
        {"city", textOf(record.city)},
        {"cardveVrsion", textOf(record.cardVersion)},
    };
    QJsonObject object;
    for (const auto &field : fields)
        object.insert(QLatin1String(field.key), field.text);
    return object;
}

} // namespace

QString CTextMessageProcessor::CreateCardsonSci(const QString &functionName, long code,
                                                const QString &msg, const QString &data,
                                                const QString &base64, SSCard_IDINFO record) const
{
    return serialise(withFields(standardReply(functionName, code, msg, data, base64),
                                socialSecurityFields(record)));
}

namespace dorvent::protocol {
namespace {

// "11" to "14" choose the SAM slots 0x11 to 0x14; anything else, no
// "slotNo" included, is the first SAM slot.
int samSlot(const QString &text)
{
    const int sam = samSlotCode(text);
    return sam >= 0 ? sam : 0x11;
}

// A failed read answers with the driver's own text (empty when it wrote none).
void readSocialSecurityCard(ActionCall &call)
{
    SSCard_IDINFO record;
    std::memset(&record, 0, sizeof record);
    char message[kSsMessageSize] = {};
    const int code = call.card().luvaro_USB_ReadSSCard(samSlot(call.field("slotNo")), &record, message);
    if (code != 0)
        return call.reply(code, textOf(message));
    call.reply(0, call.successText(), socialSecurityFields(record));
}

constexpr Action kActions[] = {
    {"readSci", Gate::ReaderOpen, readSocialSecurityCard, "获取社保卡信息成功", nullptr},
};

} // namespace

ActionTable socialSecurityCardActions() { return {kActions, std::size(kActions)}; }

} // namespace dorvent::protocol
