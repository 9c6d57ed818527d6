// The radio field and ISO 14443 Type A activation: protocol, request,
// anticollision, select, then RATS for cards that speak ISO 14443-4.
// Contactless CPU cards, M1 cards and the bank and social-security
// dialogues all start here.

#include "luvarocard.h"

#include <cstring>

namespace {

// Command codes of the reader.
constexpr unsigned char kSwitchField = 0x4E;
constexpr unsigned char kSetProtocol = 0x87;
constexpr unsigned char kRequest = 0x41;
constexpr unsigned char kAnticollision = 0x42;
constexpr unsigned char kSelectTypeA = 0x43;
constexpr unsigned char kSelectOther = 0x8A;
constexpr unsigned char kRats = 0x85;

constexpr unsigned char kTypeA = 'A';

} // namespace

int luvaroCard::luvaro_USB_SwitchRF(int on)
{
    const unsigned char param = static_cast<unsigned char>(on & 0xFF);
    return simpleCommand(kSwitchField, &param, 1);
}

int luvaroCard::luvaro_USB_SetTypeA()
{
    const unsigned char param = kTypeA;
    return simpleCommand(kSetProtocol, &param, 1);
}

int luvaroCard::luvaro_USB_ICRequest()
{
    return simpleCommand(kRequest, nullptr, 0);
}

int luvaroCard::luvaro_USB_ICAnticoll(char *uidHex, int size)
{
    return countedHexCommand(kAnticollision, nullptr, 0, luvaro::kSingleStatusError, true,
                             luvaro::HexEnd::Nul, uidHex, size);
}

int luvaroCard::luvaro_USB_ICSelect(unsigned char type)
{
    return simpleCommand(type == kTypeA ? kSelectTypeA : kSelectOther, nullptr, 0);
}

int luvaroCard::luvaro_USB_PowerOnTypeA(char *atsHex, int size)
{
    return countedHexCommand(kRats, nullptr, 0, luvaro::kSingleStatusError, true,
                             luvaro::HexEnd::None, atsHex, size);
}

int luvaroCard::activateTypeA(TypeAActivation &a, TypeAStep first, TypeAStep last, bool throughFailures)
{
    const auto runStep = [&](TypeAStep step) {
        switch (step) {
        case TypeAStep::Protocol: return luvaro_USB_SetTypeA();
        case TypeAStep::Request: return luvaro_USB_ICRequest();
        case TypeAStep::Anticollision: return luvaro_USB_ICAnticoll(a.uid, sizeof a.uid - 1);
        case TypeAStep::Select: return luvaro_USB_ICSelect(kTypeA);
        case TypeAStep::Rats: return luvaro_USB_PowerOnTypeA(a.ats, sizeof a.ats - 1);
        }
        return luvaro::kFailed;
    };
    int code = luvaro::kOk;
    for (int step = int(first); step <= int(last); ++step) {
        code = runStep(TypeAStep(step));
        a.failedStep = TypeAStep(step);
        if (code != luvaro::kOk && !throughFailures)
            return code;
    }
    return code;
}

int luvaroCard::typeAPowerON(char *atsHex, int *len, int size)
{
    TypeAActivation activation;
    if (activateTypeA(activation) != luvaro::kOk)
        return luvaro::kFailed;
    const int n = static_cast<int>(std::strlen(activation.ats));
    if (!atsHex || n >= size)
        return luvaro::kFailed;
    std::memcpy(atsHex, activation.ats, n + 1);
    if (len)
        *len = 0;
    return luvaro::kOk;
}
