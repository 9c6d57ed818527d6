// The identity card's record: the text block sliced into IDINFO for the
// three card layouts, the UTF-16 to UTF-8 converter, the nation table, the
// console trace, and the photo handed to the WLT decoder.
//
// The text block is 256 bytes of UTF-16LE, every field padded with spaces to
// a fixed size; the character at offset 248 picks the layout ("I" foreign
// permanent resident, "J" residence permit, anything else the ordinary card).
// The 1024-byte WLT photo follows it.
#include "luvarocard.h"

#include "libwlt.h"
#include "ownfile.h"

#include <algorithm>
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

