// The resident identity card, read through the reader's SAM.
//
// A read is always find (0xB0), select (0xB1), then read (0xB4, or 0xB5 with
// the fingerprint). Find and select are one report each way; the reads and
// the chip UID (0x12) are multi-report exchanges:
//
//   find      > 02 08 00 01 00 B0 B9 ...
//             < 02 02 00 ...            status 00: a card is there
//   read      > 02 08 00 01 00 B4 BD ...
//             < 82 02 00 00 05 <27 bytes of text block> ...
//             < 82 <31 bytes> ...       (and so on, 1280 bytes in all)
//
// The text block is 256 bytes of UTF-16LE, every field padded with spaces to
// a fixed size; the 1024-byte WLT photo follows it.
#include "luvarocard.h"

#include "libwlt.h"
#include "ownfile.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Nation names by code (1 to 56), without the suffix 族.
const char *const kNations[] = {
    "汉", "蒙古", "回", "藏", "维吾尔", "苗", "彝", "壮", "布依", "朝鲜",
    "满", "侗", "瑶", "白", "土家", "哈尼", "哈萨克", "傣", "黎", "傈僳",
    "佤", "畲", "高山", "拉祜", "水", "东乡", "纳西", "景颇", "柯尔克孜", "土",
    "达斡尔", "仫佬", "羌", "布朗", "撒拉", "毛南", "仡佬", "锡伯", "阿昌", "普米",
    "塔吉克", "怒", "乌孜别克", "俄罗斯", "鄂温克", "德昂", "保安", "裕固", "京", "塔塔尔",
    "独龙", "鄂伦春", "赫哲", "门巴", "珞巴", "基诺",
};
constexpr int kNationCount = static_cast<int>(sizeof kNations / sizeof kNations[0]);
static_assert(kNationCount == 56, "one name per nation code");

// Request frames: 02 08 00, L = 1, the command, the checksum.
constexpr unsigned char kFindFrame[] = {0x02, 0x08, 0x00, 0x01, 0x00, 0xB0, 0xB9};
constexpr unsigned char kSelectFrame[] = {0x02, 0x08, 0x00, 0x01, 0x00, 0xB1, 0xB8};
constexpr unsigned char kReadFrame[] = {0x02, 0x08, 0x00, 0x01, 0x00, 0xB4, 0xBD};
constexpr unsigned char kReadExtendedFrame[] = {0x02, 0x08, 0x00, 0x01, 0x00, 0xB5, 0xBC};
constexpr unsigned char kUidFrame[] = {0x02, 0x08, 0x00, 0x01, 0x00, 0x12, 0x1B};

constexpr long kSamRefused = -2;   // find or select: no card, or not selected
constexpr long kSamReadFailed = -23;
constexpr unsigned char kStatusOk = 0x00;
constexpr unsigned char kStatusRefused = 0x01;

// Payload layout of the reads.
constexpr std::size_t kExtendedSkip = 2;          // two bytes before the text block
constexpr std::size_t kFingerprintOffset = 1282;  // in the extended read's payload
constexpr long kFingerprintMinPayload = 1383;
constexpr unsigned char kFingerprintMark = 0x43;  // 'C'

constexpr std::size_t kNationOut = 16;     // getNation's output, NUL included
constexpr std::size_t kNameWork = 128;     // the names are converted here first
constexpr std::size_t kTypeMarkOffset = 248;
constexpr unsigned kTextUnitsMax = 60;     // the longest field: the English name

// Where a text-block field goes.
enum class Target {
    Name, EnName, Sex, Nation, Birth, Address, IdNumber, Authority,
    ValidFrom, ValidTo, PassNumber, IssueCount, Nationality, CardVersion,
};

struct Slice
{
    unsigned offset; // bytes into the text block
    unsigned size;   // bytes of UTF-16LE
    Target target;
    unsigned bound;  // UTF-8 bytes the conversion may write
};

const Slice kResidentLayout[] = {
    {0, 30, Target::Name, 30},
    {30, 2, Target::Sex, 8},
    {32, 4, Target::Nation, 4},
    {36, 16, Target::Birth, 8},
    {52, 70, Target::Address, 70},
    {122, 36, Target::IdNumber, 18},
    {158, 30, Target::Authority, 30},
    {188, 16, Target::ValidFrom, 8},
    {204, 16, Target::ValidTo, 8},
};

const Slice kResidencePermitLayout[] = { // type mark "J"
    {0, 30, Target::Name, 30},
    {30, 2, Target::Sex, 8},
    {36, 16, Target::Birth, 16},
    {52, 70, Target::Address, 70},
    {122, 36, Target::IdNumber, 36},
    {158, 30, Target::Authority, 30},
    {188, 16, Target::ValidFrom, 16},
    {204, 16, Target::ValidTo, 16},
    {220, 18, Target::PassNumber, 18},
    {238, 4, Target::IssueCount, 4},
};

const Slice kForeignResidentLayout[] = { // type mark "I"
    {0, 120, Target::EnName, 120},
    {120, 2, Target::Sex, 8},
    {122, 30, Target::IdNumber, 30},
    {152, 6, Target::Nationality, 6},
    {158, 30, Target::Name, 30},
    {188, 16, Target::ValidFrom, 16},
    {204, 16, Target::ValidTo, 16},
    {220, 16, Target::Birth, 16},
    {236, 4, Target::CardVersion, 4},
    {240, 8, Target::Authority, 8},
};

struct FieldRef
{
    char *text;
    std::size_t size;
};

// The record field a target is converted into directly; null for the ones
// that are converted into a work buffer first.
FieldRef fieldOf(IDINFO &record, Target target)
{
    switch (target) {
    case Target::Birth: return {record.birth, sizeof record.birth};
    case Target::Address: return {record.address, sizeof record.address};
    case Target::IdNumber: return {record.idNumber, sizeof record.idNumber};
    case Target::Authority: return {record.authority, sizeof record.authority};
    case Target::ValidFrom: return {record.validFrom, sizeof record.validFrom};
    case Target::ValidTo: return {record.validTo, sizeof record.validTo};
    case Target::PassNumber: return {record.passNumber, sizeof record.passNumber};
    case Target::IssueCount: return {record.issueCount, sizeof record.issueCount};
    case Target::Nationality: return {record.nationality, sizeof record.nationality};
    case Target::CardVersion: return {record.cardVersion, sizeof record.cardVersion};
    default: return {nullptr, 0};
    }
}

// Copies a bounded text into a fixed field, always NUL-terminated.
void copyText(char *field, std::size_t fieldSize, const char *text)
{
    const std::size_t n = std::min(std::strlen(text), fieldSize - 1);
    std::memcpy(field, text, n);
    field[n] = '\0';
}

// Converts one field of the text block; the result is NUL-terminated because
// the bound always leaves the output's last byte untouched and zero.
void convertSlice(const unsigned char *block, const Slice &slice, char *out, std::size_t outSize)
{
    UTF16 units[kTextUnitsMax + 1] = {};
    const unsigned count = slice.size / 2;
    for (unsigned i = 0; i < count; ++i)
        units[i] = static_cast<UTF16>(block[slice.offset + 2 * i] | (block[slice.offset + 2 * i + 1] << 8));
    const std::size_t bound = std::min<std::size_t>(slice.bound, outSize - 1);
    luvaroCard::Utf16_To_Utf8(units, reinterpret_cast<UTF8 *>(out), bound, strictConversion);
}

} // namespace

int getNation(int code, char *out)
{
    if (!out)
        return 0;
    if (code >= 1 && code <= kNationCount)
        copyText(out, kNationOut, kNations[code - 1]);
    else
        std::snprintf(out, kNationOut, "其他(%d)", code);
    return 0;
}

namespace {

// The foreign resident's English name is 60 padded units, more than enName
// holds: drop the padding, then keep the longest whole-character prefix.
void fitEnglishName(char *field, std::size_t fieldSize, char *converted)
{
    std::size_t n = std::strlen(converted);
    while (n > 0 && converted[n - 1] == ' ')
        --n;
    if (n > fieldSize - 1) {
        n = fieldSize - 1;
        while (n > 0 && (static_cast<unsigned char>(converted[n]) & 0xC0) == 0x80)
            --n;
    }
    std::memcpy(field, converted, n);
    field[n] = '\0';
}

const char *sexName(const char *code)
{
    if (std::strcmp(code, "1") == 0)
        return "男";
    if (std::strcmp(code, "2") == 0)
        return "女";
    return "其他";
}

void printResident(const IDINFO &record)
{
    std::printf("普通二代证\n");
    std::printf("姓名:\t\t\t%s\n", record.name);
    std::printf("性别:\t\t\t%s\n", record.sex);
    std::printf("民族:\t\t\t%s\n", record.nation);
    std::printf("出生:\t\t\t%s\n", record.birth);
    std::printf("签发机关:\t\t%s\n", record.authority);
    std::printf("有效期限:\t\t%s-%s\n", record.validFrom, record.validTo);
    std::fflush(stdout);
}

// Decodes the card's WLT photo and writes the bitmap; a photo that cannot be
// decoded leaves no file of ours at the path and is only traced.
void writePhoto(const unsigned char *wltBlock, const char *photoPath)
{
    unsigned char wlt[kIdPhotoSize];
    std::memcpy(wlt, wltBlock, sizeof wlt);
    unsigned char bitmap[kIdBitmapBufferSize] = {};
    int bitmapLength = 0;
    libwlt decoder;
    const int result = decoder.Unpack_Data(wlt, static_cast<int>(sizeof wlt), bitmap, &bitmapLength);
    if (result != WltSuccess) {
        std::printf("ret = %d\n", result);
        std::fflush(stdout);
        // An earlier card's photo must not pass for this card's.
        ownfile::remove(photoPath);
        return;
    }
    const std::size_t length = std::min<std::size_t>(bitmapLength > 0 ? bitmapLength : 0, sizeof bitmap);
    if (!photoPath || !ownfile::write(photoPath, bitmap, length)) {
        std::printf("创建文件失败\n");
        std::fflush(stdout);
    }
}

} // namespace

int luvaroCard::Utf16_To_Utf8(const UTF16 *source, UTF8 *target, std::size_t targetSize,
                              ConversionFlags flags)
{
    if (!source || !target) {
        std::printf("ERR, Utf16_To_Utf8: source=%p, targetStart=%p\n",
                    static_cast<const void *>(source), static_cast<void *>(target));
        return conversionNullPointer;
    }
    std::size_t written = 0;
    for (const UTF16 *unit = source; *unit;) {
        std::uint32_t ch = *unit++;
        if (ch >= 0xD800 && ch <= 0xDBFF) {
            if (*unit == 0)
                return sourceExhausted;
            if (*unit >= 0xDC00 && *unit <= 0xDFFF)
                ch = ((ch - 0xD800) << 10) + (*unit++ - 0xDC00) + 0x10000;
            else if (flags == strictConversion)
                return sourceIllegal;
        } else if (ch >= 0xDC00 && ch <= 0xDFFF && flags == strictConversion) {
            return sourceIllegal;
        }
        const std::size_t n = ch < 0x80 ? 1 : ch < 0x800 ? 2 : ch < 0x10000 ? 3 : 4;
        if (targetSize - written < n)
            return targetExhausted;
        UTF8 *out = target + written;
        switch (n) {
        case 1:
            out[0] = static_cast<UTF8>(ch);
            break;
        case 2:
            out[0] = static_cast<UTF8>(0xC0 | (ch >> 6));
            out[1] = static_cast<UTF8>(0x80 | (ch & 0x3F));
            break;
        case 3:
            out[0] = static_cast<UTF8>(0xE0 | (ch >> 12));
            out[1] = static_cast<UTF8>(0x80 | ((ch >> 6) & 0x3F));
            out[2] = static_cast<UTF8>(0x80 | (ch & 0x3F));
            break;
        default:
            out[0] = static_cast<UTF8>(0xF0 | (ch >> 18));
            out[1] = static_cast<UTF8>(0x80 | ((ch >> 12) & 0x3F));
            out[2] = static_cast<UTF8>(0x80 | ((ch >> 6) & 0x3F));
            out[3] = static_cast<UTF8>(0x80 | (ch & 0x3F));
            break;
        }
        written += n;
    }
    return conversionOK;
}

long luvaroCard::Analysis(int /*flag*/, const char *photoPath, IDINFO *record, const unsigned char *block)
{
    if (!record || !block)
        return 0;
    std::memset(record, 0, sizeof *record);

    // The type mark picks the layout.
    const UTF16 mark[2] = {static_cast<UTF16>(block[kTypeMarkOffset] | (block[kTypeMarkOffset + 1] << 8)), 0};
    UTF8 markText[8] = {};
    Utf16_To_Utf8(mark, markText, sizeof markText - 1, strictConversion);
    record->cardType[0] = static_cast<char>(markText[0]);

    const Slice *begin = std::begin(kResidentLayout);
    const Slice *end = std::end(kResidentLayout);
    const bool resident = markText[0] != 'I' && markText[0] != 'J';
    if (markText[0] == 'I') {
        begin = std::begin(kForeignResidentLayout);
        end = std::end(kForeignResidentLayout);
    } else if (markText[0] == 'J') {
        begin = std::begin(kResidencePermitLayout);
        end = std::end(kResidencePermitLayout);
    }

    char name[kNameWork] = {};
    char enName[kNameWork] = {};
    char sexCode[16] = {};
    char nationCode[16] = {};
    for (const Slice *slice = begin; slice != end; ++slice) {
        switch (slice->target) {
        case Target::Name: convertSlice(block, *slice, name, sizeof name); break;
        case Target::EnName: convertSlice(block, *slice, enName, sizeof enName); break;
        case Target::Sex: convertSlice(block, *slice, sexCode, sizeof sexCode); break;
        case Target::Nation: convertSlice(block, *slice, nationCode, sizeof nationCode); break;
        default: {
            const FieldRef field = fieldOf(*record, slice->target);
            convertSlice(block, *slice, field.text, field.size);
            break;
        }
        }
    }

    // The name ends at its first space: what follows is padding.
    if (char *space = std::strchr(name, ' '))
        *space = '\0';
    copyText(record->name, sizeof record->name, name);
    fitEnglishName(record->enName, sizeof record->enName, enName);
    copyText(record->sex, sizeof record->sex, sexName(sexCode));

    if (resident) {
        char nation[kNationOut] = {};
        getNation(static_cast<int>(std::strtol(nationCode, nullptr, 10)), nation);
        copyText(record->nation, sizeof record->nation, nation);
        printResident(*record);
    }

    writePhoto(block + kIdTextBlockSize, photoPath);
    return 0;
}

namespace {

// One report out, one back; only the reply's status byte matters. The status
// of a fetch that failed is unknown, so it is reported, not read as success.
long samStep(libusb_device_handle *handle, const unsigned char (&frame)[7], unsigned char *status)
{
    unsigned char report[luvaroCard::kReportBufferSize] = {};
    std::memcpy(report, frame, sizeof frame);
    if (luvaroCard::HidD_SetFeature(handle, report, sizeof report) < 0)
        return luvaro::kTransferFailed;
    unsigned char reply[luvaroCard::kReportBufferSize] = {};
    if (luvaroCard::HidD_GetFeature(handle, reply, sizeof reply) < 0)
        return luvaro::kTransferFailed;
    *status = reply[2];
    return luvaro::kOk;
}

// A multi-report exchange: the payload length, or a negative code.
long samRead(libusb_device_handle *handle, const unsigned char (&frame)[7], unsigned char *buffer,
             std::size_t capacity)
{
    const int sent = luvaroCard::SetUsbMsg(handle, frame, sizeof frame);
    if (sent < 0)
        return sent;
    int length = 0;
    const int received = luvaroCard::GetUsbMsg(handle, buffer, &length,
                                               static_cast<int>(std::min<std::size_t>(capacity, INT_MAX)));
    return received < 0 ? received : length;
}

} // namespace

long luvaroCard::PICC_Reader_ID_Request()
{
    if (!m_handle)
        return luvaro::kNotOpen;
    unsigned char status = 0;
    const long result = samStep(m_handle, kFindFrame, &status);
    if (result != luvaro::kOk)
        return result;
    return status == kStatusOk ? luvaro::kOk : kSamRefused;
}

long luvaroCard::PICC_Reader_ID_Select()
{
    if (!m_handle)
        return luvaro::kNotOpen;
    unsigned char status = 0;
    const long result = samStep(m_handle, kSelectFrame, &status);
    if (result != luvaro::kOk)
        return result;
    // Only status 0x01 means that no card was selected.
    return status == kStatusRefused ? kSamRefused : luvaro::kOk;
}

long luvaroCard::PICC_Reader_ID_Read(unsigned char *buffer, std::size_t capacity)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    return samRead(m_handle, kReadFrame, buffer, capacity);
}

long luvaroCard::PICC_Reader_ID_Read2(unsigned char *buffer, std::size_t capacity)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    return samRead(m_handle, kReadExtendedFrame, buffer, capacity);
}

long luvaroCard::luvaro_USB_ReadIDCard(int mode, const char *photoPath, IDINFO *record, char *message,
                                       std::size_t messageSize)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    if (!record)
        return luvaro::kBadParameter;
    const auto fail = [&](const char *format, long code) {
        if (message && messageSize > 0)
            std::snprintf(message, messageSize, format, code);
        return kSamReadFailed;
    };

    long result = PICC_Reader_ID_Request();
    if (result != 0)
        return fail("身份证寻卡失败，返回值 t_nRe = %ld", result);
    result = PICC_Reader_ID_Select();
    if (result != 0)
        return fail("身份证选卡失败，返回值 t_nRe = %ld", result);

    // Zeroed, so a short payload reads as empty fields, never as stale bytes.
    unsigned char reply[kIdReplyBufferSize] = {};
    const bool extended = mode == 1;
    const long length = extended ? PICC_Reader_ID_Read2(reply, sizeof reply) : PICC_Reader_ID_Read(reply, sizeof reply);
    if (length < 0)
        return fail("身份证读卡失败，返回值 t_nRe = %ld", length);

    std::printf("开始解析身份证数据\n");
    std::fflush(stdout);
    const std::size_t textAt = extended ? kExtendedSkip : 0;
    Analysis(0, photoPath, record, reply + textAt);
    std::memcpy(record->wlt, reply + textAt + kIdTextBlockSize, sizeof record->wlt);
    if (extended && length >= kFingerprintMinPayload && reply[kFingerprintOffset] == kFingerprintMark)
        std::memcpy(record->fingerprint, reply + kFingerprintOffset, sizeof record->fingerprint);
    return luvaro::kOk;
}

long luvaroCard::luvaro_USB_ReadIDCardUid(char *out, std::size_t outSize)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    if (!out || outSize == 0)
        return luvaro::kBadParameter;
    const int sent = SetUsbMsg(m_handle, kUidFrame, sizeof kUidFrame);
    if (sent < 0)
        return sent;
    unsigned char reply[kIdReplyBufferSize] = {};
    int length = 0;
    const int received = GetUsbMsg(m_handle, reply, &length, sizeof reply);
    if (received != 0)
        return received;
    // The UID is followed by two status bytes; shorter payloads carry no UID.
    if (length <= 2)
        return luvaro::kOk;
    const std::size_t uidBytes = static_cast<std::size_t>(length) - 2;
    if (2 * uidBytes >= outSize)
        return luvaro::kTransferFailed; // no UID is that long: a reply we cannot trust
    static const char kDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < uidBytes; ++i) {
        out[2 * i] = kDigits[reply[i] >> 4];
        out[2 * i + 1] = kDigits[reply[i] & 0x0F];
    }
    return luvaro::kOk;
}
