// The bank-card number: the payment directory, then one of the two debit /
// credit applications, then the first record of SFI 1, whose tag 57 holds
// the track-2 equivalent data. A card in the field is tried first; only when
// none powers up there is the contact card in slot 1 used.
//
//   contactless: PSE, record, AID …0102, record [, AID …0101, record]
//   contact:     PSE, record, AID …0101, record [, AID …0102, record]
//
// The bracketed fallback's answer must also carry 9000; the first one is
// taken as soon as it holds "57".

#include "luvarocard.h"

#include <cctype>
#include <cstring>
#include <iterator>

namespace {

constexpr char kSelectPse[] = "00a404000e315041592e5359532e4444463031"; // 1PAY.SYS.DDF01
constexpr char kReadRecord[] = "00b2010c00";                             // record 1 of SFI 1
constexpr char kSelectAid1[] = "00a4040008a000000333010101";
constexpr char kSelectAid2[] = "00a4040008a000000333010102";

constexpr const char *kContactlessFirst[] = {kSelectPse, kReadRecord, kSelectAid2, kReadRecord};
constexpr const char *kContactlessFallback[] = {kSelectAid1, kReadRecord};
constexpr const char *kContactFirst[] = {kSelectPse, kReadRecord, kSelectAid1, kReadRecord};
constexpr const char *kContactFallback[] = {kSelectAid2, kReadRecord};

constexpr char kTrack2Tag[] = "57";
constexpr char kStatusWordOk[] = "9000"; // SW1 SW2 of a command the card ran
constexpr int kContactSlot = 1;
constexpr int kAnswerSize = luvaroCard::kAnswerHexSize;
constexpr int kNotAHexDigit = 1000;

} // namespace

int strstrTemp(const char *text, const char *pattern)
{
    if (!text || !pattern || !*pattern)
        return 0;
    const char *found = std::strstr(text, pattern);
    return found ? static_cast<int>(found - text) + 1 : 0;
}

int chartoint2(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) ? util_C2I(c) : kNotAHexDigit;
}

int luvaroCard::luvaro_USB_GetBankCardNo(char *out)
{
    if (!out)
        return luvaro::kBankCardNotRead;

    // Every activation step runs; the card counts as there when RATS answers.
    TypeAActivation activation;
    const bool contactless = activateTypeA(activation, TypeAStep::Protocol, TypeAStep::Rats, true) == luvaro::kOk;
    if (!contactless) {
        char atr[256] = {};
        if (luvaro_USB_ColdPowerOn(kContactSlot, atr, sizeof atr - 1) != luvaro::kOk)
            return luvaro::kBankCardNotRead;
    }

    char answer[kAnswerSize + 1]; // the hex answer always ends
    auto send = [&](const char *apdu) {
        std::memset(answer, 0, sizeof answer);
        return contactless ? luvaro_USB_APDUType(apdu, answer, kAnswerSize)
                           : luvaro_USB_APDU(kContactSlot, apdu, answer, kAnswerSize);
    };
    auto run = [&](const char *const *apdus, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            if (send(apdus[i]) != luvaro::kOk)
                return false;
        return true;
    };

    if (!(contactless ? run(kContactlessFirst, std::size(kContactlessFirst))
                      : run(kContactFirst, std::size(kContactFirst))))
        return luvaro::kBankCardNotRead;
    if (!std::strstr(answer, kTrack2Tag)) {
        if (!(contactless ? run(kContactlessFallback, std::size(kContactlessFallback))
                          : run(kContactFallback, std::size(kContactFallback))))
            return luvaro::kBankCardNotRead;
        if (!std::strstr(answer, kStatusWordOk) || !std::strstr(answer, kTrack2Tag))
            return luvaro::kBankCardNotRead;
    }

    // A text search, not aligned to bytes: the two characters after the
    // first "57" are the length, the value follows them. A length that is
    // not hex, runs past the answer or would not leave the buffer's
    // terminator is refused.
    const int p = strstrTemp(answer, kTrack2Tag);
    const int answerLength = static_cast<int>(std::strlen(answer));
    if (p + 2 >= answerLength)
        return luvaro::kBankCardNotRead;
    const int high = chartoint2(answer[p + 1]);
    const int low = chartoint2(answer[p + 2]);
    if (high == kNotAHexDigit || low == kNotAHexDigit)
        return luvaro::kBankCardNotRead;
    const int digits = 2 * (16 * high + low);
    const int start = p + 3;
    if (start + digits > answerLength || digits > kBankCardNoSize - 1)
        return luvaro::kBankCardNotRead;
    std::memcpy(out, answer + start, digits);
    return luvaro::kOk;
}
