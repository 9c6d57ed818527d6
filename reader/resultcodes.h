#pragma once

#include <climits>

// Results of every driver operation. 0 (or a length or count where an
// operation says so) is success; the card actions pass these codes on to the
// client unchanged, so a number keeps one name and one meaning everywhere.
//
// These rows are also what page authors read: tools/resultcodedoc writes
// them into the README and the web client, and a test fails while those
// copies are older than this file.
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
constexpr int kReaderGone = -31;
constexpr int kReplayMismatch = -32;
constexpr int kNoValidReply = -100;
constexpr int kBankCardNotRead = -200;

struct ResultCode
{
    int code;
    const char *name;
    const char *meaning;
    const char *meaningZh; // the same for readers of Chinese
    const char *advice;    // what a page does about it
};

// One row per code the driver gives; resultMeaning() reads it. The service
// itself answers -1 too, before any driver call: "端口未打开" (no open yet)
// and the texts that name a bad request value.
constexpr ResultCode kResultCodes[] = {
    {kOk, "kOk", "success", "成功", "Use the reply."},
    {kFailed, "kFailed",
     "failed without a finer code: the reader is not open (msg 端口未打开), a request value is "
     "not accepted (msg names it: 入参), open found no reader, a malformed power-off reply, "
     "a Type A activation step failed, or the stripe read failed",
     "失败，无更细的代码：读卡器未打开（msg 为“端口未打开”）、请求参数不被接受（msg 中有“入参”）、"
     "打开时未找到读卡器、下电应答有误、TypeA 卡激活某一步失败或磁条读取失败",
     "端口未打开: call open (ensureOpen) and send again. A msg with 入参: fix that request value. "
     "Otherwise check the reader and the card, then try again."},
    {kNoCard, "kNoCard",
     "no card: the identity-card SAM found or selected none, or no stripe was swiped "
     "within the time limit",
     "无卡：身份证模块未找到或未选中卡片，或在限定时间内未刷磁条卡",
     "Ask the user to place the card (or swipe it) and try again."},
    {kNoCardResponse, "kNoCardResponse",
     "the card gave nothing: the reader refused a contact power-on (no card in that slot, "
     "or inserted the wrong way), or no card was swiped with a time limit of 0",
     "卡片无应答：读卡器拒绝接触式上电（该卡座无卡或插反），或时限为 0 时未刷卡",
     "Ask the user to insert the card, chip first and facing up; power it on again."},
    {kNotOpen, "kNotOpen", "no reader open: nothing was sent", "读卡器未打开：未发送任何命令",
     "Open the reader (ensureOpen), then send again."},
    {kBadParameter, "kBadParameter",
     "a parameter out of range or too long for its buffer, or an M1 value block that "
     "fails its check",
     "参数超出范围或超过缓冲区长度，或 M1 值块校验不符",
     "Fix the request: the action's keys give the ranges. For an M1 value block, initialise it first."},
    {kTransferFailed, "kTransferFailed",
     "a transfer failed, or a single-report reply was malformed: the reader stopped answering "
     "(an opened reader that was unplugged answers -31)",
     "USB 传输失败或单包应答格式有误：读卡器不再应答（已打开的读卡器被拔出时答 -31）",
     "Check the reader's cable; if it goes on, close and open it again (reopen)."},
    {kStatusError, "kStatusError",
     "a multi-report or contactless reply whose status is not 0x00, or a reader that "
     "stayed busy: most often no card powered on (an APDU before the power-on) or no card there",
     "多包或非接应答的状态字节不为 0x00，或读卡器一直忙：最常见的是卡片未上电（先发了 APDU）或没有卡",
     "Power the card on first (cardClodPowerOn, mcardPowerOn, card44PowerOn), check that it is "
     "there, then try again."},
    {kSingleStatusError, "kSingleStatusError",
     "a single-report reply whose status is not 0x00: the reader refused the command, "
     "most often for lack of a card of that kind",
     "单包应答的状态字节不为 0x00：读卡器拒绝该命令，多为没有相应类型的卡",
     "Check the card's kind (the request's type) and that it is inserted, then try again."},
    {kIdCardReadFailed, "kIdCardReadFailed",
     "identity card: finding, selecting or reading it failed (the message says which step; "
     "寻卡失败 with t_nRe = -2 is no card on the reader)",
     "身份证寻卡、选卡或读卡失败（msg 说明哪一步；寻卡失败且 t_nRe = -2 即读卡器上没有身份证）",
     "Ask the holder to lay the card flat on the reader and try again."},
    {kReaderBusy, "kReaderBusy",
     "the reader is held by another request that waits for a swipe; nothing was sent",
     "读卡器正被另一个等待刷卡的请求占用：未发送任何命令",
     "Send again once the swipe wait is over."},
    {kReaderGone, "kReaderGone",
     "the reader that was opened has left the USB bus (unplugged, or lost in a suspend) and is "
     "not back yet; nothing was sent. The service opens it again by itself when it returns",
     "已打开的读卡器已离开 USB 总线（被拔出或在休眠中丢失），尚未回来：未发送任何命令。"
     "读卡器回来后服务会自动重新打开",
     "Ask the user to plug the reader in, then send again: no close and open are needed. "
     "serviceStatus says when it is back (readerPresent)."},
    {kReplayMismatch, "kReplayMismatch",
     "dorvent-emu replaying a recorded session only: the service sent the reader a frame the "
     "recording does not have at that step (its stderr shows both frames); the real service "
     "never answers this",
     "仅在 dorvent-emu 回放记录的会话时出现：服务发给读卡器的帧与记录中该步骤不符"
     "（其标准错误输出列出两帧）；真实服务从不返回此代码",
     "Compare the request with the recorded one (dorvent-trace diff); the next request starts "
     "afresh."},
    {kNoValidReply, "kNoValidReply",
     "no usable answer: the version request got a malformed reply or none, no "
     "social-security card was found, or one refused its authentication without a status word",
     "无有效应答：获取版本时应答有误或无应答、未找到社保卡，或社保卡认证失败且无状态字",
     "Check that the card is inserted (social-security card: slot 1 or the field), then try again."},
    {kBankCardNotRead, "kBankCardNotRead",
     "the bank-card number was not read: no bank card in the field or in slot 1, or the card "
     "has no payment application",
     "未读到银行卡号：感应区和卡座 1 都没有银行卡，或卡片没有支付应用",
     "Ask the user to place the bank card on the reader (or insert it) and try again."},
};

// Numbers outside the table are told apart by their range. The table's rows
// come first: -1, -2, -4 and -12 are libusb's numbers too, but open names
// its own failures with them.
struct ResultRange
{
    int lowest;
    int highest;
    const char *name;
    const char *meaning;
    const char *meaningZh;
    const char *advice;
};

// Card status words are 0x6xxx or 0x9xxx; libusb's errors lie between -1 and -99.
constexpr int kSmallestStatusWord = 0x6000;

constexpr ResultRange kResultRanges[] = {
    {1, INT_MAX, "Count",
     "a length or count; from power-off, the reader's refusal code (not a success)",
     "长度或计数；下电时为读卡器的拒绝代码（并非成功）",
     "Take it as a failure of that action: the msg says which."},
    {INT_MIN, -kSmallestStatusWord, "CardStatusWord",
     "the card refused: minus its status word (-25538 is -0x63C2: status word 63C2)",
     "卡片拒绝：其状态字取负（-25538 即 -0x63C2，状态字 63C2）",
     "Look the status word up for that card: 63Cx is a wrong key or PIN with x tries left "
     "(do not retry blindly), 6A82 a file or application the card does not have."},
    {-kSmallestStatusWord + 1, -1, "UsbError",
     "a libusb error passed through by open (-6: another program holds the reader)",
     "打开读卡器时 libusb 的错误代码（-6：读卡器被其他程序占用）",
     "Run dorvent-doctor on that machine: it says what holds or hides the reader."},
};

// The meaning of any driver result, listed or not (a length, a libusb error
// passed through by open, a card's refusal as minus its status word).
const char *resultMeaning(int code);
// The row's name, or null for a code that is not in the table.
const char *resultName(int code);

} // namespace luvaro
