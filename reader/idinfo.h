#pragma once

#include <cstddef>
#include <cstdint>

// The identity card's record as the driver decodes it. Text fields hold
// NUL-terminated UTF-8; a field that the card's layout does not carry stays
// empty. The caller allocates it zero-filled; every read rewrites it whole.
struct IDINFO
{
    char name[40];          // the holder's (Chinese) name
    char enName[40];        // foreign residents: English name, padding trimmed, cut to fit
    char sex[10];           // "男", "女" or "其他"
    char nation[20];        // nation name (ordinary cards)
    char address[200];
    char birth[50];         // YYYYMMDD
    char validFrom[50];     // YYYYMMDD
    char validTo[50];       // YYYYMMDD, or the card's text for an unlimited term
    char idNumber[40];      // identity number; foreign residents: card number
    char authority[50];     // issuing authority; foreign residents: authority code
    char nationality[200];  // foreign residents: three-letter code
    unsigned char wlt[1024];         // the photo as stored on the card
    char passNumber[24];    // residence permits
    char issueCount[8];     // residence permits
    char cardVersion[8];    // foreign residents
    char cardType[2];       // first byte of the type mark and a NUL
    unsigned char fingerprint[1024]; // raw, only from the extended read
};

// Sizes of what the SAM delivers.
constexpr std::size_t kIdTextBlockSize = 256;
constexpr std::size_t kIdPhotoSize = 1024;
constexpr std::size_t kIdFingerprintSize = 1024;
constexpr std::size_t kIdReplyBufferSize = 4096;
constexpr std::size_t kIdMessageSize = 256;
constexpr std::size_t kIdBitmapBufferSize = 40960;

using UTF16 = std::uint16_t;
using UTF8 = unsigned char;

enum ConversionFlags { strictConversion = 0, lenientConversion };

// Results of Utf16_To_Utf8.
enum ConversionResult {
    conversionOK = 0,
    sourceExhausted = 1,  // a high surrogate right before the end
    targetExhausted = 2,  // the next character does not fit the bound
    sourceIllegal = 3,    // an unpaired surrogate in strict mode
    conversionNullPointer = 4
};

// The nation's name for its code (1 to 56), or "其他(code)"; out holds at least 16 bytes.
int getNation(int code, char *out);
