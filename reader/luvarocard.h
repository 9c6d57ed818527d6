#pragma once

#include <libusb.h>

#include <cstddef>
#include <cstdint>

#include "frame.h"
#include "hexutil.h"
#include "idinfo.h"
#include "resultcodes.h"
#include "sscardinfo.h"

class QPixmap;

// The card's pending request for more time on the contactless path: 1 while
// one is being answered, with the card's block byte and its parameter.
extern unsigned char flagLong;
extern unsigned char longtimedata[2];

// The reader driver: one object per service, holding the open reader's libusb
// handle (null while closed) and the context it was opened in.
//
// Its definition is split by topic, one file each; a card family adds its
// own section here and its own luvarocard_<family>.cpp:
//
//   luvarocard_transport.cpp  reports, frames over them, the exchange patterns
//   luvarocard_device.cpp     the reader: open, close, beep, version
//   luvarocard_cpu.cpp        contact CPU cards, contactless APDUs
//   luvarocard_typea.cpp      the radio field and ISO 14443 Type A activation
//   luvarocard_idsam.cpp      identity card: the SAM exchange
//   luvarocard_idrecord.cpp   identity card: the record, UTF-16, nations, trace
//   luvarocard_pictures.cpp   identity card: pictures of the two faces
//   luvarocard_m1.cpp         M1 cards: authentication, blocks, value blocks (after Type A activation)
//   luvarocard_iso15693.cpp   ISO 15693 tags: inventory, system information, blocks, AFI, DSFID
//   luvarocard_memorycard.cpp 4442 and 4428 memory cards
//   luvarocard_stripe.cpp     the magnetic-stripe head: swipe, format
//   luvarocard_bankcard.cpp   the bank-card number (contact or Type A, PSE and records)
//   luvarocard_sscard.cpp     the social-security card and SSCard_IDINFO
class luvaroCard
{
public:
    static constexpr int kVersionBufferSize = 256;

    luvaroCard() = default;
    ~luvaroCard();
    luvaroCard(const luvaroCard &) = delete;
    luvaroCard &operator=(const luvaroCard &) = delete;

    // ---- The reader: open, close, beep, version (luvarocard_device.cpp) ----
    int luvaro_USB_Open(char *unused);
    int luvaro_USB_Close();
    int luvaro_USB_Beep();
    // The version text, raw; at most outCapacity - 1 bytes and a NUL.
    int luvaro_USB_Version(unsigned char *out, int outCapacity = kVersionBufferSize);
    libusb_device_handle *handle() const { return m_handle; }

    // ---- Contact CPU cards and contactless APDUs (luvarocard_cpu.cpp) ----
    // Hex outputs are written without a terminator into the caller's zeroed
    // buffer of `size` bytes; an answer whose hex would not fit is refused
    // with -14 and nothing is written. An APDU text of odd length, or longer
    // than the frame holds, is -14 with nothing sent.
    static constexpr int kMaxContactApdu = 290;     // command bytes the contact frame holds
    static constexpr int kMaxContactlessApdu = 503; // ... and the contactless one
    static constexpr int kAnswerBufferSize = 1024;  // contact reply payload
    static constexpr int kContactlessBufferSize = 512;
    static constexpr int kAnswerHexSize = 1024;     // at most 512 answer bytes as hex
    static constexpr int kMaxWaitingTimeExtensions = 32; // consecutive WTX requests honoured
    // The reader's slot byte for a caller's slot number.
    static unsigned char getSlot(int slot);
    int luvaro_USB_ColdPowerOn(int slot, char *atrHex, int size = 256);
    int luvaro_USB_PowerOn(int slot, char *atrHex, int size = 256) { return luvaro_USB_ColdPowerOn(slot, atrHex, size); }
    int luvaro_USB_HotPowerOn(int slot, char *atrHex, int size = 256);
    // 0, -1 (malformed reply), or the reader's refusal code (positive).
    int luvaro_USB_PowerOff(int slot);
    int luvaro_USB_APDU(int slot, const char *apduHex, char *outHex, int size = kAnswerHexSize);
    int luvaro_USB_APDUType(const char *apduHex, char *outHex, int size = kAnswerHexSize);

    // ---- The radio field and Type A activation (luvarocard_typea.cpp) ----
    // Shared by contactless CPU cards, M1 cards, bank and social-security cards.
    int luvaro_USB_SwitchRF(int on);
    int luvaro_USB_SetTypeA();
    int luvaro_USB_ICRequest();
    // NUL-terminated.
    int luvaro_USB_ICAnticoll(char *uidHex, int size = 256);
    int luvaro_USB_ICSelect(unsigned char type);
    int luvaro_USB_PowerOnTypeA(char *atsHex, int size = 128);
    // The whole Type A activation; the ATS NUL-terminated. 0 or -1.
    int typeAPowerON(char *atsHex, int *len, int size = 128);

    // The activation's steps, in their order, and what a run of them left.
    enum class TypeAStep { Protocol, Request, Anticollision, Select, Rats };
    struct TypeAActivation
    {
        char uid[256] = {}; // hex, NUL-terminated
        char ats[128] = {}; // hex, NUL-terminated
        TypeAStep failedStep = TypeAStep::Protocol; // the step whose code was returned, when not 0
    };
    // Runs the steps from `first` to `last` and stops at the first one that
    // does not give 0, returning its code; with `throughFailures` every step
    // runs and the last one's code is returned.
    int activateTypeA(TypeAActivation &activation, TypeAStep first = TypeAStep::Protocol,
                      TypeAStep last = TypeAStep::Rats, bool throughFailures = false);

    // ---- 4442 and 4428 memory cards in the user slot (luvarocard_memorycard.cpp) ----
    // Addresses go out as one byte, lengths of main memory as two: reads and
    // writes take addr 0-255 and len 0-256, protection memory addr and len
    // 0-32 with addr + len <= 32 (the 32 bits the reader reads back, and all
    // a 4442 has); -14 otherwise, with nothing sent. A 4428 protects any of
    // its bytes: its write protection takes addr and len 0-32 each. Data
    // texts must be whole digit pairs holding at least len bytes (their first
    // len bytes go), codes exactly 3 bytes (4442) or 2 (4428): anything else
    // is -14 with nothing sent. Hex outputs are written without a terminator
    // into the caller's zeroed buffer of `size` bytes (-14 when they would
    // not fit).
    static constexpr int kMemoryCardMaxAddress = 255;
    static constexpr int kMemoryCardMaxLength = 256;
    static constexpr int kProtectionBits = 32;
    static constexpr int kMemoryHexSize = 2 * kMemoryCardMaxLength + 1;
    int luvaro_USB_4442_PowerOn(char *atrHex, int size = 128);
    int luvaro_USB_4442_PowerOff();
    int luvaro_USB_4442_Read(int addr, int len, char *dataHex, int size = kMemoryHexSize);
    int luvaro_USB_442_Write(int addr, int len, const char *dataHex);
    int luvaro_USB_4442_Verify(const char *pscHex);
    int luvaro_USB_4442_Change(const char *pscHex);
    int luvaro_USB_4442_ReadProtect(int addr, int len, char *bitsHex, int size = 2 * kProtectionBits + 1);
    // The reply's payload length (0 or more) on success.
    int luvaro_USB_4442_WriteProtect(int addr, int len, const char *dataHex);
    int luvaro_USB_4442_ReadCount(int *count);
    int luvaro_USB_4428_PowerOn(char *atrHex, int size = 128);
    int luvaro_USB_4428_PowerOff();
    int luvaro_USB_4428_Read(int addr, int len, char *dataHex, int size = kMemoryHexSize);
    int luvaro_USB_4428_Write(int addr, int len, const char *dataHex);
    int luvaro_USB_4428_Verify(const char *pscHex);
    int luvaro_USB_4428_Change(const char *pscHex);
    int luvaro_USB_4428_ReadProtect(int addr, int len, char *bitsHex, int size = 2 * kProtectionBits + 1);
    int luvaro_USB_4428_WriteProtect(int addr, int len, const char *dataHex);
    int luvaro_USB_4428_ReadCount(int *count);

    // ---- The magnetic-stripe head (luvarocard_stripe.cpp) ----
    // Starts a swipe read of the tracks `mode` selects and waits up to
    // `timeout` seconds for a card, polling every kSwipePollMs. The swipe's
    // bytes as hex, no terminator, into the caller's zeroed buffer of `size`
    // bytes. 0; -1 read error; -2 no card in time (cancelled); -4 no card with
    // a time limit of 0; -12; -14 when the hex would not fit.
    static constexpr int kSwipePollMs = 200;
    static constexpr int kMaxSwipeBytes = 255; // the reader's one-byte length
    int luvaro_USB_MagInfo(unsigned char timeout, int mode, char *dataHex, int size = 512);
    // The same read in steps, for a caller that waits on its own event loop
    // instead of sleeping: swipeBegin sends the request, swipePoll (called
    // kSwipePollMs apart) fetches one answer. Each gives kSwipePending while
    // the wait goes on, else MagInfo's result with the hex written.
    // swipeAbandon ends a pending wait early with the reader's cancel.
    static constexpr int kSwipePending = 1;
    struct SwipeWait
    {
        int remainingMs = 0;
        unsigned char len = 0;
        unsigned char data[kMaxSwipeBytes] = {};
    };
    int swipeBegin(SwipeWait &wait, unsigned char timeout, int mode, char *dataHex, int size);
    int swipePoll(SwipeWait &wait, char *dataHex, int size);
    int swipeAbandon();
    // The swipe read request and its first answer: 0 with the data, -4 while
    // the reader waits for a card, -1 for anything else, -12.
    int Rcard1(unsigned char timeout, int mode, unsigned char *len, char *data, int capacity = kMaxSwipeBytes);
    // One poll of a waiting swipe read (nothing is sent): 0 with the data,
    // -1 read error, -2 no card yet.
    int ICC_PassCheck1(unsigned char *len, unsigned char *data, int capacity = kMaxSwipeBytes);
    // Ends the reader's wait for a card (param 2).
    int ICC_GetTimeOut(unsigned char param);
    // The 4-byte format block: mode 0xA5 for type 0 (the reader sends what is
    // swiped), 0xA4 for type 1 (the host asks), 0x00 otherwise; then the
    // three setting bytes.
    int luvaro_USB_SetMagType(int type, const unsigned char *setting);
    // setting[0..3] receive the reader's format block.
    int luvaro_USB_ReadMagType(unsigned char *setting);

    // ---- M1 cards (luvarocard_m1.cpp) ----
    // After Type A activation: authenticate a sector, then read, write and run
    // value blocks in it. Amounts are 64-bit; above 0xFFFFFFFF is -14. Keys
    // are exactly 12 hex digits, -14 otherwise with nothing sent.
    static constexpr int kM1Sectors = 40;      // sectors 0..39 (a 4K card's)
    static constexpr int kM1BlockSize = 16;
    static constexpr int kM1KeySize = 6;
    static constexpr int kM1ReadTextSize = 128; // the caller's block-text buffer
    // Request, anticollision and select (the protocol is not switched first),
    // with the UID traced on standard output.
    int findM1(TypeAActivation &activation);
    int luvaro_USB_M1VerifyPass(unsigned char keyType, unsigned char sector, const char *keyHex);
    // Exactly 32 digits, no terminator; -14 when `size` cannot hold them.
    int luvaro_USB_M1Read(unsigned char block, char *dataHex, int size = kM1ReadTextSize);
    // 1 to 16 whole bytes of text, missing bytes going as 0x00; any other
    // text is -14, nothing sent.
    int luvaro_USB_M1Write(unsigned char block, const char *dataHex);
    int luvaro_USB_M1Initval(unsigned char block, unsigned long value);
    int luvaro_USB_M1Increment(unsigned char block, unsigned long value);
    int luvaro_USB_M1Decrement(unsigned char block, unsigned long value);
    // The block's value, a signed 32-bit number widened with its sign.
    int luvaro_USB_M1Readval(unsigned char block, unsigned long *value);

    // ---- ISO 15693 tags (luvarocard_iso15693.cpp) ----
    // Hex outputs are written without a terminator into the caller's zeroed
    // buffer of `size` bytes, only on success; an answer whose hex would not
    // fit is refused with -14 and nothing is written.
    static constexpr int kIso15693TextSize = 256;
    static constexpr int kIso15693BlockSize = 4;
    int luvaro_USB_15693_Find(char *uidHex, int size = kIso15693TextSize);
    int luvaro_USB_15693_Info(char *infoHex, int size = kIso15693TextSize);
    int luvaro_USB_15693_Read(unsigned char block, char *dataHex, int size = kIso15693TextSize);
    // 1 to 4 whole bytes of text, missing bytes going as 0x00; any other
    // text is -14, nothing sent.
    int luvaro_USB_15693_Write(unsigned char block, const char *dataHex);
    int luvaro_USB_15693_WriteAFI(unsigned char afi, char *outHex, int size = kIso15693TextSize);
    int luvaro_USB_15693_LockAFI(char *outHex, int size = kIso15693TextSize);
    int luvaro_USB_15693_WriteDSFID(unsigned char dsfid, char *outHex, int size = kIso15693TextSize);
    int luvaro_USB_15693_LockDSFID(char *outHex, int size = kIso15693TextSize);
    int luvaro_USB_5693_LockDataBlock(unsigned char block, char *outHex, int size = kIso15693TextSize);

    // ---- Transport (luvarocard_transport.cpp) ----
    // Each moves one 32-byte report; `len` is the caller's buffer size (never
    // read or written past). The bytes moved, or -15 (-12 without a handle).
    static int HidD_SetFeature(libusb_device_handle *handle, const unsigned char *report, int len);
    static int HidD_GetFeature(libusb_device_handle *handle, unsigned char *report, int len);
    // Sends a frame split into reports: 0 or -15.
    static int SetUsbMsg(libusb_device_handle *handle, const unsigned char *frame, int len);
    static int HDRead_Write_new(libusb_device_handle *handle, const unsigned char *frame, int len);
    // Reads one reply frame, waiting on a busy reader. *outLen receives the
    // payload bytes copied (L for a well-formed reply that fits): never more
    // than arrived, never more than outCapacity. 0, -15 or -20.
    static int GetUsbMsg(libusb_device_handle *handle, unsigned char *out, int *outLen,
                         int outCapacity);
    // Reads a contactless APDU reply into `out`: the card's answer is the first
    // *outLen - 2 bytes (*outLen is L, lowered to what arrived and fits). 0, -15 or -20.
    int HDRead_PICCReader(libusb_device_handle *handle, unsigned char *out, int *outLen,
                          int outCapacity);
    // One-report exchange with command `cmd` and at most 25 data bytes. The
    // payload bytes copied, -12, -14, -15 or -21. With outCapacity 0 the reply's
    // length field is not read: a reader may put a count and data there.
    int PICC_Reader_SetMsg(unsigned char cmd, const unsigned char *data, int len,
                           unsigned char *out, int outCapacity);

    // The pause between fetches of a busy reader; tests replace it to count
    // the waits instead of sleeping. Returns the previous function.
    using SleepFunction = void (*)(int milliseconds);
    static SleepFunction setSleepFunction(SleepFunction sleep);
    // Pauses through the current sleep function.
    static void pause(int milliseconds);
    // libusb's own error of the last failed report transfer (0 after one
    // that moved its bytes), which the transfer calls fold into -15: for
    // the log, and to tell a reader gone (LIBUSB_ERROR_NO_DEVICE) from a glitch.
    static int lastTransferError();

    // Told of every report transfer as it completes: the session recorder.
    // The report is what went out, or what came back (zeros when a fetch
    // failed); result is the bytes moved or libusb's negative error.
    class TransferObserver
    {
    public:
        virtual void transferred(bool set, const unsigned char *report, int result) = 0;

    protected:
        ~TransferObserver() = default;
    };
    // One observer at a time; null removes it. Returns the previous one.
    static TransferObserver *setTransferObserver(TransferObserver *observer);

    // How long the driver waits on a reader that keeps answering busy
    // (status 0x16) before it gives up with -20.
    static constexpr int kBusyPauseMs = 1000;
    static constexpr int kMaxBusyWaits = 10;       // GetUsbMsg: one pause each
    static constexpr int kMaxBusyRefetches = 5000; // HDRead_PICCReader: no pause

    // ---- Identity card: the SAM exchange (luvarocard_idsam.cpp) ----
    long PICC_Reader_ID_Request();
    long PICC_Reader_ID_Select();
    // The payload length, or a negative code; never writes more than capacity bytes.
    long PICC_Reader_ID_Read(unsigned char *buffer, std::size_t capacity = kIdReplyBufferSize);
    long PICC_Reader_ID_Read2(unsigned char *buffer, std::size_t capacity = kIdReplyBufferSize);
    long luvaro_USB_ReadIDCard(int mode, const char *photoPath, IDINFO *record, char *message,
                               std::size_t messageSize = kIdMessageSize);
    long luvaro_USB_ReadIDCardUid(char *out, std::size_t outSize = 256);

    // ---- Identity card: the record (luvarocard_idrecord.cpp) ----
    long Analysis(int flag, const char *photoPath, IDINFO *record, const unsigned char *block);
    static int Utf16_To_Utf8(const UTF16 *source, UTF8 *target, std::size_t targetSize,
                             ConversionFlags flags);

    // ---- Identity card: pictures of the two faces (luvarocard_pictures.cpp) ----
    void IDCardPicFront(const IDINFO &record);
    void IDCardPicBack(const IDINFO &record);
    void addMaskByPath(const char *templatePath, const char *outputPath, const IDINFO &record);
    void addMaskByPathBack(const char *templatePath, const char *outputPath, const IDINFO &record);
    void addMask(QPixmap &pixmap, const IDINFO &record);
    void addMaskBack(QPixmap &pixmap, const IDINFO &record);

    // ---- The bank-card number (luvarocard_bankcard.cpp) ----
    // The caller's zeroed buffer for the number; the text always ends in it.
    static constexpr int kBankCardNoSize = 128;
    // The hex text of the card's tag 57 (track-2 equivalent data), no
    // terminator written. Contactless first, else the contact card in slot 1.
    // 0, or -200 for every failure (nothing written).
    int luvaro_USB_GetBankCardNo(char *out);

    // ---- The social-security card (luvarocard_sscard.cpp) ----
    // The card in contact slot 1, else in the field; third-generation cards
    // are authenticated through the SAM in samSlot. 0 with rec filled; -12
    // without a reader; otherwise a negative code with its message in
    // errText (kSsMessageSize bytes, zeroed by the caller).
    int luvaro_USB_ReadSSCard(int samSlot, SSCard_IDINFO *rec, char *errText);

private:
    // ---- Exchange patterns for the command families (luvarocard_transport.cpp) ----
    // What of a reply's first two bytes must hold before anything else is
    // read: a marker (0x02 or 0x82) and the reply tag for most commands; the
    // tag alone, or nothing, for the few whose readers differ there.
    enum class ReplyHeader { MarkerAndTag, TagOnly, Unread };
    // One report out, one report back into reply[luvaro::kReportSize] (zeroed when
    // the fetch fails): 0, -12 or -15 (also for a report whose header fails `header`).
    int exchangeReport(const unsigned char *frame, int frameLen, unsigned char *reply,
                       ReplyHeader header = ReplyHeader::MarkerAndTag);
    // The request for `command` and its parameters as one report each way.
    int exchangeRequest(unsigned char command, const unsigned char *params, int n,
                        unsigned char *reply, ReplyHeader header = ReplyHeader::MarkerAndTag);
    // exchangeRequest with the reply's checks every single-report command
    // makes: 0 with reply filled, -12, -14, -15 (also for a report that is
    // no single-report reply) or -21 (a status that is not 0x00).
    int singleExchange(unsigned char command, const unsigned char *params, int n, unsigned char *reply);
    // A frame out with SetUsbMsg, its reply in with GetUsbMsg: 0 or a negative code.
    int frameExchange(const unsigned char *frame, int frameLen, unsigned char *out, int outCapacity,
                      int *outLen);
    // The request for `command` (no parameters) out with SetUsbMsg, its reply
    // in with GetUsbMsg: the payload length copied, or a negative code.
    int readRequest(unsigned char command, unsigned char *out, int outCapacity);
    // Copies `want` reply bytes starting at report offset `offset` of the
    // first report, fetching the continuation reports the reader sends.
    static int collectPayload(libusb_device_handle *handle, const unsigned char *first,
                              int offset, int want, unsigned char *out, int outCapacity,
                              int *copied);
    // One-report command whose reply carries a count at offset 3 and the
    // bytes from offset 4, written as hex. Without checkHeader bytes 0 and 1
    // are not read, and an empty count is refused: it is all that tells a
    // zeroed report from an answer.
    int countedHexCommand(unsigned char command, const unsigned char *params, int n,
                          int refusedCode, bool checkHeader, luvaro::HexEnd end, char *hex,
                          int size);
    // One-report command with no data back: 0, -12, -15 or -21.
    int simpleCommand(unsigned char command, const unsigned char *params, int n);
    // M1 increment or decrement: the block, the amount as 4 bytes (luvarocard_m1.cpp).
    int m1ValueCommand(unsigned char command, unsigned char block, unsigned long amount);

    // ---- Memory-card commands of either type (luvarocard_memorycard.cpp) ----
    int memoryRead(unsigned char command, int addr, int len, char *dataHex, int size);
    int memoryWrite(unsigned char command, int addr, int len, const char *dataHex);
    int memoryCode(unsigned char command, const char *pscHex, int codeBytes);
    int memoryReadProtect(unsigned char command, int addr, int len, char *bitsHex, int size);
    // everyByteProtectable: a 4428, whose protection bits are not the 4442's 32.
    int memoryWriteProtect(unsigned char command, int addr, int len, const char *dataHex,
                           bool everyByteProtectable);
    int memoryReadCount(unsigned char command, int *count);

    // ---- The swipe's reply reports (luvarocard_stripe.cpp) ----
    // The swipe bytes of a reply whose first report is `first`: 0, or -1
    // when a continuation fetch fails or the answer is longer than a swipe.
    int swipeData(const unsigned char *first, unsigned char *len, unsigned char *data, int capacity);

    libusb_device_handle *m_handle = nullptr;
    libusb_context *m_context = nullptr;
};

// ---- Bank-card helpers (luvarocard_bankcard.cpp) ----
// The 1-based position of the first occurrence of pattern in text; 0 when
// there is none or pattern is empty.
int strstrTemp(const char *text, const char *pattern);
// A hex digit's value; 1000 for any other character.
int chartoint2(char c);

// ---- Social-security helpers (luvarocard_sscard.cpp) ----
// One iconv conversion of inLen bytes; out gets at most outLen bytes. 0, or
// -1 when the converter cannot be opened or the conversion stops on an error
// (out then holds what was converted).
int code_convert(const char *from, const char *to, const char *in, std::size_t inLen, char *out,
                 std::size_t outLen);
// GB2312 to UTF-8 into out, zero-filled first; the text always ends within outLen.
int g2uTemp(const char *in, std::size_t inLen, char *out, std::size_t outLen);
