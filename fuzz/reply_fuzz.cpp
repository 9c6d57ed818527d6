// libFuzzer target: arbitrary reply reports, injected into the emulated
// reader, answer one driver method. The first byte picks the method, the
// second is its small argument (slot, block, address, ...), the rest are the reports (32 bytes each, the last one zero-padded). The
// driver must touch nothing outside its buffers (AddressSanitizer and
// UndefinedBehaviorSanitizer watch) and always come back.

#include "emulatedreader.h"
#include "luvarocard.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

using dorvent::emulator::EmulatedReader;
using dorvent::emulator::Report;

namespace {

// The caller's buffers: heap blocks of exactly the size the method is told,
// so that a write past one is caught.
struct Buffers
{
    char *text(int size) { return reinterpret_cast<char *>(bytes(size)); }
    unsigned char *bytes(int size)
    {
        owned.emplace_back(new unsigned char[size]());
        return owned.back().get();
    }

    std::vector<std::unique_ptr<unsigned char[]>> owned;
    int number = 0;
    unsigned char length = 0;
    unsigned long value = 0;
    IDINFO record{};
    SSCard_IDINFO ssRecord{};
};

using Method = int (*)(luvaroCard &card, std::uint8_t arg, Buffers &b);

// Every driver method that reads a reply. A new method gets its row (and a
// seed fuzz/corpus-reply/method-NN).
constexpr Method kMethods[] = {
    // The reader.
    [](luvaroCard &c, std::uint8_t, Buffers &) { return c.luvaro_USB_Beep(); },
    [](luvaroCard &c, std::uint8_t, Buffers &b) { return c.luvaro_USB_Version(b.bytes(luvaroCard::kVersionBufferSize), luvaroCard::kVersionBufferSize); },
    // Contact CPU cards and contactless APDUs.
    [](luvaroCard &c, std::uint8_t a, Buffers &b) { return c.luvaro_USB_ColdPowerOn(a % 20, b.text(256), 256); },
    [](luvaroCard &c, std::uint8_t a, Buffers &b) { return c.luvaro_USB_HotPowerOn(a % 20, b.text(256), 256); },
    [](luvaroCard &c, std::uint8_t a, Buffers &) { return c.luvaro_USB_PowerOff(a % 20); },
    [](luvaroCard &c, std::uint8_t a, Buffers &b) { return c.luvaro_USB_APDU(a % 20, "0084000008", b.text(luvaroCard::kAnswerHexSize), luvaroCard::kAnswerHexSize); },
    [](luvaroCard &c, std::uint8_t, Buffers &b) { return c.luvaro_USB_APDUType("00A404000E315041592E5359532E4444463031", b.text(luvaroCard::kAnswerHexSize), luvaroCard::kAnswerHexSize); },
    // The radio field and Type A activation.
    [](luvaroCard &c, std::uint8_t a, Buffers &) { return c.luvaro_USB_SwitchRF(a & 1); },
    [](luvaroCard &c, std::uint8_t, Buffers &) { return c.luvaro_USB_SetTypeA(); },
    [](luvaroCard &c, std::uint8_t, Buffers &) { return c.luvaro_USB_ICRequest(); },
    [](luvaroCard &c, std::uint8_t, Buffers &b) { return c.luvaro_USB_ICAnticoll(b.text(256), 256); },
    [](luvaroCard &c, std::uint8_t a, Buffers &) { return c.luvaro_USB_ICSelect(a); },
    [](luvaroCard &c, std::uint8_t, Buffers &b) { return c.luvaro_USB_PowerOnTypeA(b.text(128), 128); },
    [](luvaroCard &c, std::uint8_t, Buffers &b) { return c.typeAPowerON(b.text(128), &b.number, 128); },
    // 4442 and 4428 memory cards.
    [](luvaroCard &c, std::uint8_t, Buffers &b) { return c.luvaro_USB_4442_PowerOn(b.text(128), 128); },
    [](luvaroCard &c, std::uint8_t, Buffers &) { return c.luvaro_USB_4442_PowerOff(); },
    [](luvaroCard &c, std::uint8_t a, Buffers &b) { return c.luvaro_USB_4442_Read(a, 256 - a, b.text(luvaroCard::kMemoryHexSize), luvaroCard::kMemoryHexSize); },
    [](luvaroCard &c, std::uint8_t a, Buffers &) { return c.luvaro_USB_442_Write(a, 2, "A1B2"); },
    [](luvaroCard &c, std::uint8_t, Buffers &) { return c.luvaro_USB_4442_Verify("FFFFFF"); },
    [](luvaroCard &c, std::uint8_t, Buffers &) { return c.luvaro_USB_4442_Change("FFFFFF"); },
    [](luvaroCard &c, std::uint8_t a, Buffers &b) { return c.luvaro_USB_4442_ReadProtect(a % 33, 32 - a % 33, b.text(2 * luvaroCard::kProtectionBits + 1), 2 * luvaroCard::kProtectionBits + 1); },
    [](luvaroCard &c, std::uint8_t a, Buffers &) { return c.luvaro_USB_4442_WriteProtect(a % 32, 1, "A1"); },
    [](luvaroCard &c, std::uint8_t, Buffers &b) { return c.luvaro_USB_4442_ReadCount(&b.number); },
    [](luvaroCard &c, std::uint8_t, Buffers &b) { return c.luvaro_USB_4428_PowerOn(b.text(128), 128); },
    [](luvaroCard &c, std::uint8_t, Buffers &) { return c.luvaro_USB_4428_PowerOff(); },
    [](luvaroCard &c, std::uint8_t a, Buffers &b) { return c.luvaro_USB_4428_Read(a * 4, 1024 - a * 4, b.text(luvaroCard::kMemoryHexSize), luvaroCard::kMemoryHexSize); },
    [](luvaroCard &c, std::uint8_t a, Buffers &) { return c.luvaro_USB_4428_Write(a * 4, 2, "A1B2"); },
    [](luvaroCard &c, std::uint8_t, Buffers &) { return c.luvaro_USB_4428_Verify("FFFF"); },
    [](luvaroCard &c, std::uint8_t, Buffers &) { return c.luvaro_USB_4428_Change("FFFF"); },
    [](luvaroCard &c, std::uint8_t a, Buffers &b) { return c.luvaro_USB_4428_ReadProtect(a % 33, 32 - a % 33, b.text(2 * luvaroCard::kProtectionBits + 1), 2 * luvaroCard::kProtectionBits + 1); },
    [](luvaroCard &c, std::uint8_t a, Buffers &) { return c.luvaro_USB_4428_WriteProtect(a % 32, 1, "A1"); },
    [](luvaroCard &c, std::uint8_t, Buffers &b) { return c.luvaro_USB_4428_ReadCount(&b.number); },
    // The magnetic-stripe head.
    [](luvaroCard &c, std::uint8_t a, Buffers &b) { return c.luvaro_USB_MagInfo(a % 4, a >> 6, b.text(512), 512); },
    [](luvaroCard &c, std::uint8_t a, Buffers &b) { return c.Rcard1(a % 4, a >> 6, &b.length, b.text(luvaroCard::kMaxSwipeBytes), luvaroCard::kMaxSwipeBytes); },
    [](luvaroCard &c, std::uint8_t, Buffers &b) { return c.ICC_PassCheck1(&b.length, b.bytes(luvaroCard::kMaxSwipeBytes), luvaroCard::kMaxSwipeBytes); },
    [](luvaroCard &c, std::uint8_t a, Buffers &) { return c.ICC_GetTimeOut(a); },
    [](luvaroCard &c, std::uint8_t a, Buffers &) {
        const unsigned char setting[4] = {a, 1, 1, 1};
        return c.luvaro_USB_SetMagType(a % 3, setting);
    },
    [](luvaroCard &c, std::uint8_t, Buffers &b) { return c.luvaro_USB_ReadMagType(b.bytes(4)); },
    // M1 cards.
    [](luvaroCard &c, std::uint8_t a, Buffers &) { return c.luvaro_USB_M1VerifyPass(0x60 + (a & 1), a % 40, "FFFFFFFFFFFF"); },
    [](luvaroCard &c, std::uint8_t a, Buffers &b) { return c.luvaro_USB_M1Read(a, b.text(luvaroCard::kM1ReadTextSize), luvaroCard::kM1ReadTextSize); },
    [](luvaroCard &c, std::uint8_t a, Buffers &) { return c.luvaro_USB_M1Write(a, "00112233445566778899AABBCCDDEEFF"); },
    [](luvaroCard &c, std::uint8_t a, Buffers &) { return c.luvaro_USB_M1Initval(a, 100); },
    [](luvaroCard &c, std::uint8_t a, Buffers &) { return c.luvaro_USB_M1Increment(a, 5); },
    [](luvaroCard &c, std::uint8_t a, Buffers &) { return c.luvaro_USB_M1Decrement(a, 5); },
    [](luvaroCard &c, std::uint8_t a, Buffers &b) { return c.luvaro_USB_M1Readval(a, &b.value); },
    // ISO 15693 tags.
    [](luvaroCard &c, std::uint8_t, Buffers &b) { return c.luvaro_USB_15693_Find(b.text(luvaroCard::kIso15693TextSize), luvaroCard::kIso15693TextSize); },
    [](luvaroCard &c, std::uint8_t, Buffers &b) { return c.luvaro_USB_15693_Info(b.text(luvaroCard::kIso15693TextSize), luvaroCard::kIso15693TextSize); },
    [](luvaroCard &c, std::uint8_t a, Buffers &b) { return c.luvaro_USB_15693_Read(a, b.text(luvaroCard::kIso15693TextSize), luvaroCard::kIso15693TextSize); },
    [](luvaroCard &c, std::uint8_t a, Buffers &) { return c.luvaro_USB_15693_Write(a, "01020304"); },
    [](luvaroCard &c, std::uint8_t a, Buffers &b) { return c.luvaro_USB_15693_WriteAFI(a, b.text(luvaroCard::kIso15693TextSize), luvaroCard::kIso15693TextSize); },
    [](luvaroCard &c, std::uint8_t, Buffers &b) { return c.luvaro_USB_15693_LockAFI(b.text(luvaroCard::kIso15693TextSize), luvaroCard::kIso15693TextSize); },
    [](luvaroCard &c, std::uint8_t a, Buffers &b) { return c.luvaro_USB_15693_WriteDSFID(a, b.text(luvaroCard::kIso15693TextSize), luvaroCard::kIso15693TextSize); },
    [](luvaroCard &c, std::uint8_t, Buffers &b) { return c.luvaro_USB_15693_LockDSFID(b.text(luvaroCard::kIso15693TextSize), luvaroCard::kIso15693TextSize); },
    [](luvaroCard &c, std::uint8_t a, Buffers &b) { return c.luvaro_USB_5693_LockDataBlock(a, b.text(luvaroCard::kIso15693TextSize), luvaroCard::kIso15693TextSize); },
    // The identity card (no photo path: the decoder has its own target).
    [](luvaroCard &c, std::uint8_t, Buffers &) { return int(c.PICC_Reader_ID_Request()); },
    [](luvaroCard &c, std::uint8_t, Buffers &) { return int(c.PICC_Reader_ID_Select()); },
    [](luvaroCard &c, std::uint8_t, Buffers &b) { return int(c.PICC_Reader_ID_Read(b.bytes(int(kIdReplyBufferSize)), kIdReplyBufferSize)); },
    [](luvaroCard &c, std::uint8_t, Buffers &b) { return int(c.PICC_Reader_ID_Read2(b.bytes(int(kIdReplyBufferSize)), kIdReplyBufferSize)); },
    [](luvaroCard &c, std::uint8_t a, Buffers &b) {
        return int(c.luvaro_USB_ReadIDCard(a & 1, nullptr, &b.record, b.text(int(kIdMessageSize)), kIdMessageSize));
    },
    [](luvaroCard &c, std::uint8_t, Buffers &b) { return int(c.luvaro_USB_ReadIDCardUid(b.text(256), 256)); },
    // The bank card and the social-security card.
    [](luvaroCard &c, std::uint8_t, Buffers &b) { return c.luvaro_USB_GetBankCardNo(b.text(luvaroCard::kBankCardNoSize)); },
    [](luvaroCard &c, std::uint8_t a, Buffers &b) { return c.luvaro_USB_ReadSSCard(0x11 + a % 4, &b.ssRecord, b.text(int(kSsMessageSize))); },
};
constexpr std::size_t kMethodCount = sizeof kMethods / sizeof kMethods[0];
static_assert(kMethodCount <= 256, "one byte picks the method");

void noPause(int) {}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    luvaroCard::setSleepFunction(&noPause);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2 || size > 64 * 1024)
        return 0;
    const Method method = kMethods[data[0] % kMethodCount];
    const std::uint8_t arg = data[1];
    data += 2;
    size -= 2;
    std::vector<Report> reports((size + sizeof(Report) - 1) / sizeof(Report));
    for (std::size_t i = 0; i < reports.size(); ++i) {
        const std::size_t at = i * sizeof(Report);
        reports[i] = Report{};
        std::memcpy(reports[i].data(), data + at, std::min(sizeof(Report), size - at));
    }

    // A fresh reader (no cards: the injected reports are the only answers
    // worth having) and an open handle each time, so that no input leaves
    // replies or state behind for the next one.
    EmulatedReader &reader = EmulatedReader::instance();
    reader.reset();
    luvaroCard card;
    if (card.luvaro_USB_Open(nullptr) != 0)
        __builtin_trap();
    reader.injectReplyReports(reports);
    Buffers buffers;
    method(card, arg, buffers);
    return 0;
}
