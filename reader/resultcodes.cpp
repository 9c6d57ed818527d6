#include "resultcodes.h"

#include <iterator>

namespace luvaro {
namespace {

constexpr const ResultCode *rowOf(int code)
{
    for (const ResultCode &row : kResultCodes)
        if (row.code == code)
            return &row;
    return nullptr;
}

constexpr bool codesAreDistinct()
{
    for (auto a = std::begin(kResultCodes); a != std::end(kResultCodes); ++a)
        if (rowOf(a->code) != a)
            return false;
    return true;
}
static_assert(codesAreDistinct(), "one row per code");
constexpr int kNamedCodes[] = {kOk, kFailed, kNoCard, kNoCardResponse, kNotOpen, kBadParameter,
                               kTransferFailed, kStatusError, kSingleStatusError, kIdCardReadFailed, kReaderBusy,
                               kNoValidReply, kBankCardNotRead};

constexpr bool namedCodesAreListed()
{
    for (int code : kNamedCodes)
        if (!rowOf(code))
            return false;
    return std::size(kNamedCodes) == std::size(kResultCodes);
}
static_assert(namedCodesAreListed(), "every named code has its row, and every row its name");

// Card status words are 0x6xxx or 0x9xxx; libusb's errors lie between -1 and -99.
constexpr int kSmallestStatusWord = 0x6000;

} // namespace

const char *resultMeaning(int code)
{
    if (const ResultCode *row = rowOf(code))
        return row->meaning;
    if (code > 0)
        return "a length or count; from power-off, the reader's refusal code (not a success)";
    if (code <= -kSmallestStatusWord)
        return "the card refused: minus its status word";
    return "a libusb error passed through by open";
}

const char *resultName(int code)
{
    const ResultCode *row = rowOf(code);
    return row ? row->name : nullptr;
}

} // namespace luvaro
