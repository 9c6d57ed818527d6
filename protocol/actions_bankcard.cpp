// The bank card: its account number, cut from the track-2 equivalent data
// the driver reads.

#include "action.h"
#include "luvarocard.h"

#include <iterator>

namespace dorvent::protocol {
namespace {

// Account number and expiry date are separated by "D"; a text without one
// is the number as it stands.
void readBankNumber(ActionCall &call)
{
    char number[luvaroCard::kBankCardNoSize] = {};
    const int code = call.card().luvaro_USB_GetBankCardNo(number);
    if (code != 0)
        return call.answer(code);
    const QString track2 = textOf(number);
    call.answer(0, track2.left(track2.indexOf(QLatin1Char('D'))));
}

constexpr Action kActions[] = {
    {"readBankNO", Gate::ReaderOpen, readBankNumber, "获取银行卡号成功", "获取银行卡号失败"},
};

} // namespace

ActionTable bankCardActions() { return {kActions, std::size(kActions)}; }

} // namespace dorvent::protocol
