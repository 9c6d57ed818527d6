#pragma once

#include <libusb.h>

#include <cstddef>
#include <cstdint>

#include "frame.h"
#include "hexutil.h"
#include "idinfo.h"
#include "resultcodes.h"

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
// and, as their families land:
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
    // with -14 and nothing is written.
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

    // ---- M1 cards (luvarocard_m1.cpp) ----
    // After Type A activation: authenticate a sector, then read, write and run
    // value blocks in it. Amounts are 64-bit; above 0xFFFFFFFF is -14.
    static constexpr int kM1Sectors = 40;      // sectors 0..39 (a 4K card's)
    static constexpr int kM1BlockSize = 16;
    static constexpr int kM1KeySize = 6;
    static constexpr int kM1ReadTextSize = 128; // the caller's block-text buffer
    int luvaro_USB_M1VerifyPass(unsigned char keyType, unsigned char sector, const char *keyHex);
    // Exactly 32 digits, no terminator; -14 when `size` cannot hold them.
    int luvaro_USB_M1Read(unsigned char block, char *dataHex, int size = kM1ReadTextSize);
    // Missing bytes go as 0x00; more than 16 bytes of text is -14, nothing sent.
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
    // Missing bytes go as 0x00; more than 4 bytes of text is -14, nothing sent.
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
    // payload bytes copied, -12, -14, -15 or -21.
    int PICC_Reader_SetMsg(unsigned char cmd, const unsigned char *data, int len,
                           unsigned char *out, int outCapacity);

    // The pause between fetches of a busy reader; tests replace it to count
    // the waits instead of sleeping. Returns the previous function.
    using SleepFunction = void (*)(int milliseconds);
    static SleepFunction setSleepFunction(SleepFunction sleep);

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

private:
    // ---- Exchange patterns for the command families (luvarocard_transport.cpp) ----
    // One report out, one report back into reply[luvaro::kReportSize] (zeroed when
    // the fetch fails): 0, -12 or -15.
    int exchangeReport(const unsigned char *frame, int frameLen, unsigned char *reply);
    // The request for `command` and its parameters as one report each way.
    int exchangeRequest(unsigned char command, const unsigned char *params, int n,
                        unsigned char *reply);
    // The request for `command` (no parameters) out with SetUsbMsg, its reply
    // in with GetUsbMsg: the payload length copied, or a negative code.
    int readRequest(unsigned char command, unsigned char *out, int outCapacity);
    // Copies `want` reply bytes starting at report offset `offset` of the
    // first report, fetching the continuation reports the reader sends.
    static int collectPayload(libusb_device_handle *handle, const unsigned char *first,
                              int offset, int want, unsigned char *out, int outCapacity,
                              int *copied);
    // One-report command whose reply carries a count at offset 3 and the
    // bytes from offset 4, written as hex.
    int countedHexCommand(unsigned char command, const unsigned char *params, int n,
                          int refusedCode, bool checkHeader, luvaro::HexEnd end, char *hex,
                          int size);
    // One-report command with no data back: 0, -12, -15 or -21.
    int simpleCommand(unsigned char command, const unsigned char *params, int n);
    // M1 increment or decrement: the block, the amount as 4 bytes (luvarocard_m1.cpp).
    int m1ValueCommand(unsigned char command, unsigned char block, unsigned long amount);

    libusb_device_handle *m_handle = nullptr;
    libusb_context *m_context = nullptr;
};
