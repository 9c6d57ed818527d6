#pragma once

// The reader frame, from the driver's side (multi-byte numbers little-endian):
//
//   offset   0        1      2        3     4      5         6 .. 4+L     5+L
//          +--------+------+--------+-----+-----+---------+------------+----------+
//   request| marker | 0x08 | 0x00   | L lo  L hi| command | parameters | checksum |
//   reply  | marker | 0x02 | status | L lo  L hi| payload (L bytes)    | checksum |
//          +--------+------+--------+-----+-----+---------+------------+----------+
//   marker   0x02: the frame ends in this report; 0x82: more reports follow
//   status   0x00 success, 0x16 busy (fetch again), anything else a failure
//   checksum XOR of offsets 1 .. 4+L (the reply's is never checked)
//
// A few requests are taken by the reader only with their own L field or
// checksum start; they are rows of one table in frame.cpp, so every request
// is laid out by buildRequest().

namespace luvaro {

// Every transfer moves one report of this many bytes.
constexpr int kReportSize = 32;
constexpr unsigned char kMarkerLast = 0x02;
constexpr unsigned char kMarkerMore = 0x82;
constexpr unsigned char kRequestTag = 0x08;
constexpr unsigned char kReplyTag = 0x02;
constexpr unsigned char kStatusOk = 0x00;
constexpr unsigned char kStatusBusy = 0x16;
constexpr int kHeaderSize = 5;        // marker, tag, status, L
constexpr int kContinuationData = 31; // bytes after the marker of a later report
constexpr int kStatusOffset = 2;
constexpr int kCountOffset = 3; // counted replies: the count here, the bytes from the next offset

// XOR of bytes[from] .. bytes[to], both included.
unsigned char xorOf(const unsigned char *bytes, int from, int to);

// Lays out marker 0x02, 0x08, 0x00, L, command, the n parameter bytes and the
// checksum into frame[capacity], following the command's own rule where it
// has one (L = n + 1 and a checksum from offset 1 otherwise). The frame
// length, or -14 when it would not fit.
int buildRequest(unsigned char command, const unsigned char *params, int n, unsigned char *frame,
                 int capacity);

// A reply's L field.
int replyLength(const unsigned char *report);
// A reply that ends in its first report and carries the reply tag.
bool isSingleReply(const unsigned char *report);
// The first report of a reply: a marker (0x02 or 0x82) and the reply tag.
// Anything else (a zeroed report, a request echoed back) is no reply at all.
bool isReplyStart(const unsigned char *report);
// A reply ending in its first report holds `want` payload bytes after the
// header only when they fit that report; more would be data that never came.
bool fitsFirstReport(int want);

} // namespace luvaro
