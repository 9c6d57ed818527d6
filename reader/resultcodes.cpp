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
                               kReaderGone, kReplayMismatch, kNoValidReply, kBankCardNotRead};

constexpr bool namedCodesAreListed()
{
    for (int code : kNamedCodes)
        if (!rowOf(code))
            return false;
    return std::size(kNamedCodes) == std::size(kResultCodes);
}
static_assert(namedCodesAreListed(), "every named code has its row, and every row its name");

// Page authors read every row: none may leave a column empty.
constexpr bool everyRowIsWritten()
{
    for (const ResultCode &row : kResultCodes)
        if (!*row.meaning || !*row.meaningZh || !*row.advice)
            return false;
    for (const ResultRange &range : kResultRanges)
        if (!*range.meaning || !*range.meaningZh || !*range.advice)
            return false;
    return true;
}
static_assert(everyRowIsWritten(), "every row has its meaning in both languages and its advice");

constexpr const ResultRange *rangeOf(int code)
{
    for (const ResultRange &range : kResultRanges)
        if (code >= range.lowest && code <= range.highest)
            return &range;
    return nullptr;
}

// Every number but 0 (a row) falls in exactly one range.
constexpr bool rangesCoverTheRest()
{
    long long next = INT_MIN;
    for (int pass = 0; pass < int(std::size(kResultRanges)); ++pass) {
        const ResultRange *range = rangeOf(int(next));
        if (!range)
            return false;
        next = (long long)range->highest + 1;
        if (next == 0)
            ++next;
    }
    return next == (long long)INT_MAX + 1;
}
static_assert(rangesCoverTheRest(), "the ranges cover every number outside 0, without overlap");

} // namespace

const char *resultMeaning(int code)
{
    if (const ResultCode *row = rowOf(code))
        return row->meaning;
    return rangeOf(code)->meaning;
}

const char *resultName(int code)
{
    const ResultCode *row = rowOf(code);
    return row ? row->name : nullptr;
}

} // namespace luvaro
