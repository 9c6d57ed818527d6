#pragma once

// Results of every driver operation. 0 (or a length or count where an
// operation says so) is success; the card actions pass these codes on to the
// client unchanged, so a number keeps one name and one meaning everywhere.
namespace luvaro {

constexpr int kOk = 0;
constexpr int kFailed = -1;
constexpr int kNoCard = -2;
constexpr int kNoCardResponse = -4;
constexpr int kNotOpen = -12;
constexpr int kBadParameter = -14;
constexpr int kTransferFailed = -15;
constexpr int kStatusError = -20;
constexpr int kSingleStatusError = -21;
constexpr int kIdCardReadFailed = -23;
constexpr int kReaderBusy = -30;
constexpr int kNoValidReply = -100;
constexpr int kBankCardNotRead = -200;

struct ResultCode
{
    int code;
    const char *name;
    const char *meaning;
};

// One row per code the driver gives; resultMeaning() reads it.
constexpr ResultCode kResultCodes[] = {
    {kOk, "kOk", "success"},
    {kFailed, "kFailed",
     "failed without a finer code: open found no reader, a malformed power-off reply, "
     "a Type A activation step failed, or the stripe read failed"},
    {kNoCard, "kNoCard",
     "no card: the identity-card SAM found or selected none, or no stripe was swiped "
     "within the time limit"},
    {kNoCardResponse, "kNoCardResponse",
     "the card gave nothing: the reader refused a contact power-on, or no card was "
     "swiped with a time limit of 0"},
    {kNotOpen, "kNotOpen", "no reader open: nothing was sent"},
    {kBadParameter, "kBadParameter",
     "a parameter out of range or too long for its buffer, or an M1 value block that "
     "fails its check"},
    {kTransferFailed, "kTransferFailed",
     "a transfer failed, or a single-report reply was malformed"},
    {kStatusError, "kStatusError",
     "a multi-report or contactless reply whose status is not 0x00, or a reader that "
     "stayed busy"},
    {kSingleStatusError, "kSingleStatusError", "a single-report reply whose status is not 0x00"},
    {kIdCardReadFailed, "kIdCardReadFailed",
     "identity card: finding, selecting or reading it failed (the message says which step)"},
    {kReaderBusy, "kReaderBusy",
     "the reader is held by another request that waits for a swipe; nothing was sent"},
    {kNoValidReply, "kNoValidReply",
     "no usable answer: the version request got a malformed reply or none, no "
     "social-security card was found, or one refused its authentication without a status word"},
    {kBankCardNotRead, "kBankCardNotRead", "the bank-card number was not read"},
};

// The meaning of any driver result, listed or not (a length, a libusb error
// passed through by open, a card's refusal as minus its status word).
const char *resultMeaning(int code);
// The row's name, or null for a code that is not in the table.
const char *resultName(int code);

} // namespace luvaro
