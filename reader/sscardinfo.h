#pragma once

#include <cstddef>

// The social-security card's record as the driver reads it. Every field is
// NUL-terminated text (the driver zero-fills the record first and never
// fills a field to its full width); fields a read did not reach stay empty.
struct SSCard_IDINFO
{
    char name[40];         // UTF-8, cut at a character boundary to 39 bytes
    char sex[10];          // "男", "女" or "其他"
    char nation[20];       // nation name
    char birth[50];        // YYYYMMDD
    char signDate[50];     // issue date, YYYYMMDD
    char validTerm[50];    // expiry date, YYYYMMDD
    char cardNumber[40];   // as stored on the card
    char idNumber[40];     // as stored on the card
    char city[64];         // area code: 6 hex digits
    char cardVersion[208]; // as stored on the card; the first character is the generation
};

// The caller's buffer for the driver's error text.
constexpr std::size_t kSsMessageSize = 256;
