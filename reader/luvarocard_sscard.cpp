// The social-security card: the card in contact slot 1 (else in the field),
// its application sx1.sh.社会保障 with the files EF05 (card data) and EF06
// (holder data). Third-generation cards open EF06 only after an external
// authentication whose cryptogram the SAM computes:
//
//   SAM  SELECT sx3.sh.社会保障, SELECT D15600000590
//   card GET CHALLENGE                      -> 8 bytes
//   SAM  BF DE 67 0A 28 <40 bytes>          the card's data and challenge
//   SAM  80 FA 00 00 10 <16 bytes>, GET RESPONSE -> R (16 bytes)
//   card 00 82 00 0A 10 <R[0..7] ^ R[8..15]> 01 .. 08
//
// Answers are uppercase hex text with the status word last; every copy out
// of one is bounded by its data (the status word excluded) and the field.

#include "luvarocard.h"

#include <iconv.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

struct Apdu
{
    const char *hex;
    const char *failure; // the message when the exchange itself fails
};

constexpr Apdu kSelectApplication = {"00a404000f7378312e73682ec9e7bbe1b1a3d5cf",
                                     "00a404000f7378312e73682ec9e7bbe1b1a3d5cf 执行失败"};
constexpr Apdu kSelectEf05 = {"00a4020002ef05", "00a4020002ef05 执行失败"};
constexpr Apdu kReadAreaCode = {"00b2010012", "00b2010012 执行失败"};
constexpr Apdu kReadVersion = {"00b2030406", "00b2030406 执行失败"};
constexpr Apdu kSamSelectApplication = {"00a404000f7378332e73682ec9e7bbe1b1a3d5cf",
                                        "00a404000f7378332e73682ec9e7bbe1b1a3d5cf APDU命令执行失败\r\n"};
constexpr Apdu kSamSelectAid = {"00a4040006d15600000590", "00a4040006d15600000590 APDU命令执行失败"};
constexpr Apdu kGetChallenge = {"0084000008", "0084000008 APDU命令执行失败"};
constexpr char kCipherFailure[] = "80fa00001001020304050607080000000000000000 APDU命令执行失败";
constexpr Apdu kSamCipher = {"80fa00001001020304050607080000000000000000", kCipherFailure};
constexpr Apdu kSamGetResponse = {"00C0000010", "00C0000010 APDU命令执行失败"};
constexpr Apdu kSelectEf05Again = {"00a4020002ef05", "00a4020002ef05 APDU命令执行失败"};

constexpr char kNotFound[] = "6A82";
constexpr int kNotFoundCode = -0x6A82;
constexpr char kStatusWordOk[] = "9000"; // SW1 SW2 of a command the card ran
constexpr char kNoCardWithSam[] = "未检测到社保卡";
constexpr char kNoCardAtAll[] = "未检测到有卡片上电成功";
constexpr char kSamPowerOnFailed[] = "SAM卡上电失败";
constexpr char kCardStatus[] = "社保卡状态码:%s";
constexpr char kSamStatusContact[] = "SAM卡状态码:%s";
constexpr char kSamStatusContactless[] = "SAM状态码:%s";
constexpr char kAuthenticateFailed[] = "三代社保卡执行APDU命令:%s 失败";
constexpr char kAuthenticateRefused[] = "社保卡校验失败，状态码:%s";

constexpr int kContactSlot = 1;
constexpr int kAnswerSize = 512;            // hex digits of one answer
constexpr int kAnswerBytes = kAnswerSize / 2;
constexpr int kStatusBytes = 2;
constexpr int kValueOffset = 2;             // a record's value follows its tag and length
constexpr char kThirdGeneration = '3';
constexpr int kNameTextSize = 256;

// The SAM's command: header, then 40 bytes of the card's data.
constexpr unsigned char kSamCommandHeader[] = {0xBF, 0xDE, 0x67, 0x0A, 0x28};
constexpr int kSamDataSize = 40;
constexpr int kPowerOnTailSize = 8;
constexpr int kChallengeSize = 8;
constexpr int kAreaCodeSize = 6;
constexpr int kCryptogramSize = 16;
// EXTERNAL AUTHENTICATE with key 0x0A: header, then 8 bytes from the SAM and these.
constexpr unsigned char kAuthenticateHeader[] = {0x00, 0x82, 0x00, 0x0A, 0x10};
constexpr unsigned char kAuthenticateTail[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};

// Packs an answer's hex text; the byte count.
int bytesOf(const char *hex, unsigned char *out, int capacity)
{
    const int n = util_putHex2Char(hex, out, 0, capacity);
    return n < 0 ? 0 : n;
}

// The answer's data bytes (the status word dropped).
int dataBytes(const char *answer, unsigned char *out)
{
    return std::max(0, bytesOf(answer, out, kAnswerBytes) - kStatusBytes);
}

template <std::size_t N>
void copyText(char (&field)[N], const char *from, int n)
{
    const int count = std::clamp(n, 0, static_cast<int>(N) - 1);
    std::memcpy(field, from, count);
    field[count] = '\0';
}

// count answer bytes from the value's start, as stored.
template <std::size_t N>
void storeBytes(char (&field)[N], const char *answer, int count)
{
    unsigned char data[kAnswerBytes];
    const int n = dataBytes(answer, data);
    copyText(field, reinterpret_cast<const char *>(data) + kValueOffset,
             std::min(count, n - kValueOffset));
}

// count hex digits from the value's start.
template <std::size_t N>
void storeDigits(char (&field)[N], const char *answer, int count)
{
    const int digits = static_cast<int>(std::strlen(answer)) - 2 * kStatusBytes;
    copyText(field, answer + 2 * kValueOffset, std::min(count, digits - 2 * kValueOffset));
}

// The value's first byte, or -1 when the record has none.
int firstValueByte(const char *answer)
{
    unsigned char data[kAnswerBytes];
    return dataBytes(answer, data) > kValueOffset ? data[kValueOffset] : -1;
}

void storeCardNumber(SSCard_IDINFO &rec, const char *answer) { storeBytes(rec.cardNumber, answer, 9); }
void storeSignDate(SSCard_IDINFO &rec, const char *answer) { storeDigits(rec.signDate, answer, 8); }
void storeValidTerm(SSCard_IDINFO &rec, const char *answer) { storeDigits(rec.validTerm, answer, 8); }
void storeIdNumber(SSCard_IDINFO &rec, const char *answer) { storeBytes(rec.idNumber, answer, 18); }
void storeBirth(SSCard_IDINFO &rec, const char *answer) { storeDigits(rec.birth, answer, 8); }

// The name up to its first zero byte, converted from GB2312 (a failed
// conversion keeps what was converted) and cut to whole characters.
void storeName(SSCard_IDINFO &rec, const char *answer)
{
    unsigned char data[kAnswerBytes];
    const int n = dataBytes(answer, data);
    if (n <= kValueOffset)
        return;
    const char *name = reinterpret_cast<const char *>(data) + kValueOffset;
    const std::size_t length = strnlen(name, n - kValueOffset);
    char utf8[kNameTextSize];
    g2uTemp(name, length, utf8, sizeof utf8);
    std::size_t keep = std::strlen(utf8);
    if (keep > sizeof rec.name - 1) {
        keep = sizeof rec.name - 1;
        while (keep > 0 && (static_cast<unsigned char>(utf8[keep]) & 0xC0) == 0x80)
            --keep;
    }
    copyText(rec.name, utf8, static_cast<int>(keep));
}

void storeSex(SSCard_IDINFO &rec, const char *answer)
{
    const int code = firstValueByte(answer);
    const char *sex = code == '1' ? "男" : code == '2' ? "女" : "其他";
    copyText(rec.sex, sex, static_cast<int>(std::strlen(sex)));
}

void storeNation(SSCard_IDINFO &rec, const char *answer)
{
    const int code = firstValueByte(answer);
    if (code < 0)
        return;
    char name[32] = {};
    getNation(code, name);
    copyText(rec.nation, name, static_cast<int>(strnlen(name, sizeof name)));
}

struct Read
{
    Apdu apdu;
    void (*store)(SSCard_IDINFO &rec, const char *answer); // null: nothing kept
};

// The full set; the short set is its first three rows.
constexpr Read kFullSet[] = {
    {{"00b207040B", "00b207040B APDU命令执行失败"}, storeCardNumber},
    {{"00B2050006", "00B2050006 APDU命令执行失败"}, storeSignDate},
    {{"00B2060006", "00B2060006 APDU命令执行失败"}, storeValidTerm},
    {{"00a4020002ef06", "00a4020002ef06 APDU命令执行失败"}, nullptr},
    {{"00B2080014", "00B2080014 APDU命令执行失败"}, storeIdNumber},
    {{"00B2090020", "00B2090020 APDU命令执行失败"}, storeName},
    {{"00B20A0003", "00B20A0003 APDU命令执行失败"}, storeSex},
    {{"00B20D0006", "00B20D0006 APDU命令执行失败"}, storeBirth},
    {{"00B20B0003", "00B20B0003 APDU命令执行失败"}, storeNation},
};
constexpr std::size_t kShortSetSize = 3;

} // namespace

int code_convert(const char *from, const char *to, const char *in, std::size_t inLen, char *out,
                 std::size_t outLen)
{
    iconv_t converter = iconv_open(to, from);
    if (converter == reinterpret_cast<iconv_t>(-1))
        return -1;
    char *inPointer = const_cast<char *>(in);
    char *outPointer = out;
    std::size_t inLeft = inLen;
    std::size_t outLeft = outLen;
    const std::size_t result = iconv(converter, &inPointer, &inLeft, &outPointer, &outLeft);
    iconv_close(converter);
    return result == static_cast<std::size_t>(-1) ? -1 : 0;
}

int g2uTemp(const char *in, std::size_t inLen, char *out, std::size_t outLen)
{
    if (!out || outLen == 0)
        return -1;
    std::memset(out, 0, outLen);
    return code_convert("gb2312", "utf-8", in, inLen, out, outLen - 1);
}

namespace {

// One read's state: which card answers, where the SAM is, the last answer.
class SsSession
{
public:
    SsSession(luvaroCard &card, bool contact, int samSlot, char *errText)
        : m_card(card), m_contact(contact), m_samSlot(samSlot), m_errText(errText)
    {
    }

    int card(const Apdu &apdu) { return run(apdu.hex, apdu.failure, false); }
    int sam(const Apdu &apdu) { return run(apdu.hex, apdu.failure, true); }
    int card(const char *hex) { return exchange(hex, false); }
    int sam(const char *hex) { return exchange(hex, true); }

    const char *answer() const { return m_answer; }
    bool answered(const char *text) const { return std::strcmp(m_answer, text) == 0; }
    bool contact() const { return m_contact; }

    // The message with the last answer filled in, and code.
    int status(const char *format, int code)
    {
        say(format, m_answer);
        return code;
    }
    void say(const char *format, const char *text = "")
    {
        std::snprintf(m_errText, kSsMessageSize, format, text);
    }

private:
    int exchange(const char *hex, bool toSam)
    {
        std::memset(m_answer, 0, sizeof m_answer);
        return toSam || m_contact ? m_card.luvaro_USB_APDU(toSam ? m_samSlot : kContactSlot, hex, m_answer, kAnswerSize)
                                  : m_card.luvaro_USB_APDUType(hex, m_answer, kAnswerSize);
    }
    int run(const char *hex, const char *failure, bool toSam)
    {
        const int result = exchange(hex, toSam);
        if (result != luvaro::kOk)
            say("%s", failure);
        return result;
    }

    luvaroCard &m_card;
    const bool m_contact;
    const int m_samSlot;
    char *m_errText;
    char m_answer[kAnswerSize + 1] = {};
};

// The card's data for the SAM, in the SAM's order.
void samData(const char *powerOnAnswer, const char *areaCode, const unsigned char *challenge,
             unsigned char *data)
{
    unsigned char answer[128] = {};
    const int n = bytesOf(powerOnAnswer, answer, sizeof answer);
    // The last 8 bytes; a shorter answer ends at the same place, zeros before it.
    const int take = std::min(n, kPowerOnTailSize);
    unsigned char *at = data;
    std::memset(at, 0, kPowerOnTailSize);
    std::memcpy(at + kPowerOnTailSize - take, answer + n - take, take);
    at += kPowerOnTailSize;
    std::memcpy(at, areaCode, kAreaCodeSize), at += kAreaCodeSize;
    *at++ = 's', *at++ = 'x';
    std::memcpy(at, areaCode, 2), at += 2;
    for (int i = 0; i < 4; ++i)
        *at++ = '0';
    *at++ = 's', *at++ = 'h';
    std::memcpy(at, challenge, kChallengeSize), at += kChallengeSize;
    std::memset(at, 0, kSamDataSize - (at - data));
}

int authenticate(SsSession &session, const char *powerOnAnswer, const char *areaCode)
{
    int result = session.sam(kSamSelectApplication);
    if (result != luvaro::kOk)
        return result;
    if (session.answered(kNotFound))
        return session.status(session.contact() ? kSamStatusContact : kSamStatusContactless, kNotFoundCode);
    if ((result = session.sam(kSamSelectAid)) != luvaro::kOk)
        return result;
    if (!session.contact() && session.answered(kNotFound))
        return session.status(kSamStatusContactless, kNotFoundCode);

    if ((result = session.card(kGetChallenge)) != luvaro::kOk)
        return result;
    unsigned char challenge[kAnswerBytes] = {};
    dataBytes(session.answer(), challenge); // zeros where the card gave fewer than 8

    // The area code field is zeroed past what the card gave: never short.
    char area[kAreaCodeSize] = {};
    std::memcpy(area, areaCode, strnlen(areaCode, kAreaCodeSize));
    unsigned char command[sizeof kSamCommandHeader + kSamDataSize];
    std::memcpy(command, kSamCommandHeader, sizeof kSamCommandHeader);
    samData(powerOnAnswer, area, challenge, command + sizeof kSamCommandHeader);
    char commandHex[2 * sizeof command + 1];
    util_char2Hex(command, sizeof command, commandHex, sizeof commandHex);
    if ((result = session.sam({commandHex, kCipherFailure})) != luvaro::kOk)
        return result;
    if ((result = session.sam(kSamCipher)) != luvaro::kOk)
        return result;
    if ((result = session.sam(kSamGetResponse)) != luvaro::kOk)
        return result;
    unsigned char cryptogram[kAnswerBytes] = {};
    dataBytes(session.answer(), cryptogram);

    unsigned char authenticate[sizeof kAuthenticateHeader + 16];
    std::memcpy(authenticate, kAuthenticateHeader, sizeof kAuthenticateHeader);
    for (int i = 0; i < kCryptogramSize / 2; ++i)
        authenticate[sizeof kAuthenticateHeader + i] = cryptogram[i] ^ cryptogram[i + kCryptogramSize / 2];
    std::memcpy(authenticate + sizeof kAuthenticateHeader + 8, kAuthenticateTail, sizeof kAuthenticateTail);
    char authenticateHex[2 * sizeof authenticate + 1];
    util_char2Hex(authenticate, sizeof authenticate, authenticateHex, sizeof authenticateHex);
    if ((result = session.card(authenticateHex)) != luvaro::kOk) {
        session.say(kAuthenticateFailed, authenticateHex);
        return result;
    }
    if (!session.answered(kStatusWordOk)) {
        unsigned char status[kAnswerBytes] = {};
        const int n = bytesOf(session.answer(), status, sizeof status);
        const int word = n >= kStatusBytes ? status[0] << 8 | status[1] : 0;
        // A refusal never reads as success, whatever the card sent.
        return session.status(kAuthenticateRefused, word != 0 ? -word : luvaro::kNoValidReply);
    }
    return luvaro::kOk;
}

int readSet(SsSession &session, SSCard_IDINFO &rec, std::size_t rows)
{
    for (std::size_t i = 0; i < rows; ++i) {
        const Read &read = kFullSet[i];
        if (const int result = session.card(read.apdu); result != luvaro::kOk)
            return result;
        if (read.store)
            read.store(rec, session.answer());
    }
    return luvaro::kOk;
}

} // namespace

int luvaroCard::luvaro_USB_ReadSSCard(int samSlot, SSCard_IDINFO *rec, char *errText)
{
    if (!m_handle)
        return luvaro::kNotOpen;
    if (!rec || !errText)
        return luvaro::kBadParameter;
    std::memset(rec, 0, sizeof *rec);

    char powerOnAnswer[256] = {};
    const bool contact = luvaro_USB_ColdPowerOn(kContactSlot, powerOnAnswer, sizeof powerOnAnswer - 1) == luvaro::kOk;
    bool contactless = false;
    if (!contact) {
        std::memset(powerOnAnswer, 0, sizeof powerOnAnswer);
        int length = 0;
        contactless = typeAPowerON(powerOnAnswer, &length, sizeof powerOnAnswer) == luvaro::kOk;
    }
    char samAtr[256] = {};
    const int samPower = luvaro_USB_ColdPowerOn(samSlot, samAtr, sizeof samAtr - 1);
    const bool sam = samPower == luvaro::kOk;

    // A SAM whose power-on failed on the way, rather than being refused, is
    // taken for none, except by a third-generation card: it needs the SAM, and
    // a glitch must not turn its read into the short record.
    const bool samUnknown = samPower != luvaro::kOk && samPower != luvaro::kNoCardResponse;

    SsSession session(*this, contact, samSlot, errText);
    if (!contact && !contactless) {
        session.say(sam ? kNoCardWithSam : kNoCardAtAll);
        return luvaro::kNoValidReply;
    }

    int result = session.card(kSelectApplication);
    if (result != luvaro::kOk)
        return result;
    if (session.answered(kNotFound))
        return session.status(kCardStatus, kNotFoundCode);
    if ((result = session.card(kSelectEf05)) != luvaro::kOk)
        return result;
    if ((result = session.card(kReadAreaCode)) != luvaro::kOk)
        return result;
    storeDigits(rec->city, session.answer(), kAreaCodeSize);
    if ((result = session.card(kReadVersion)) != luvaro::kOk)
        return result;
    storeBytes(rec->cardVersion, session.answer(), 4);
    const char generation = rec->cardVersion[0];
    if (generation == kThirdGeneration && samUnknown) {
        session.say(kSamPowerOnFailed);
        return samPower;
    }

    if (!contact && !sam)
        return readSet(session, *rec, kShortSetSize);
    if (generation == kThirdGeneration && !sam)
        return readSet(session, *rec, kShortSetSize);
    if (generation == kThirdGeneration
        && (result = authenticate(session, powerOnAnswer, rec->city)) != luvaro::kOk)
        return result;
    if (sam && (result = session.card(kSelectEf05Again)) != luvaro::kOk)
        return result;
    return readSet(session, *rec, std::size(kFullSet));
}
