#pragma once

#include "deck.h"

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <typeindex>
#include <vector>

namespace dorvent::emulator {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kReportSize = 32;
using Report = std::array<std::uint8_t, kReportSize>;

// Status bytes of a reply (offset 2).
namespace status {
constexpr std::uint8_t kOk = 0x00;
constexpr std::uint8_t kFailed = 0x01;         // no card there, or the card refused
constexpr std::uint8_t kBadFrame = 0x03;       // header, length or checksum wrong
constexpr std::uint8_t kUnknownCommand = 0x04; // a command this firmware does not have
constexpr std::uint8_t kBusy = 0x16;           // still working: fetch again
} // namespace status

// One request frame as the firmware took it apart.
struct Request
{
    std::uint8_t command = 0;
    Bytes params; // the bytes between the command byte and the checksum
    Bytes frame;  // as reassembled from the reports, trailing padding included
};

// What a command answers: a whole reply frame, which the firmware splits
// into reports (marker at offset 0 filled in by the split).
class Reply
{
public:
    // 02 02 status L payload checksum: the reply most commands give.
    static Reply standard(std::uint8_t status, const Bytes &payload = {});
    static Reply ok(const Bytes &payload = {}) { return standard(status::kOk, payload); }
    static Reply failed(std::uint8_t code = status::kFailed) { return standard(code); }
    // 02 00 count data: the count at offset 3 and the data from offset 4, as
    // the reader answers power-on, anticollision and RATS.
    static Reply counted(const Bytes &data);
    // A reply laid out by the command itself from offset 1 on (for the
    // commands whose count or data stand elsewhere); the checksum is appended.
    static Reply custom(const Bytes &fromOffset1);
    // No reply: fetches meet the idle answer.
    static Reply none() { return Reply(); }

    const Bytes &frame() const { return m_frame; }

private:
    Bytes m_frame;
};

class Firmware;
using CommandHandler = Reply (*)(Firmware &, const Request &);
// How many parameter bytes a request carries, for requests whose L field
// does not say; `afterCommand` holds what arrived after the command byte.
using ParamCount = int (*)(const Bytes &afterCommand);

// How the reader reads one command's frame. The default is the common rule:
// L counts the command and its parameters, and the checksum, right after
// them, is the XOR of offsets 1 onward.
struct FrameRule
{
    int lField = -1;        // >= 0: the L field must hold exactly this
    int params = -1;        // >= 0: this many parameter bytes, whatever L says
    ParamCount paramCount = nullptr; // otherwise: ask this, or take L - 1
    int checksumFrom = 1;   // first offset the checksum covers
};

struct CommandEntry
{
    std::uint8_t code;
    const char *name;
    CommandHandler handler;
    FrameRule rule = {};
};

// Command byte -> what the firmware does with it.
class CommandTable
{
public:
    // Registering one code twice is a programming error and aborts.
    void add(const CommandEntry &entry);
    template <std::size_t N> void add(const CommandEntry (&entries)[N])
    {
        for (const CommandEntry &entry : entries)
            add(entry);
    }
    const CommandEntry *find(std::uint8_t code) const { return m_entries[code]; }

private:
    std::array<const CommandEntry *, 256> m_entries = {};
};

// Reader-side state a family keeps beyond its cards (the stripe format, a
// swipe being waited for...): one object per class, made on first use.
struct Unit
{
    virtual ~Unit() = default;
    // The reader lost power.
    virtual void reset() {}
};

// The reader's firmware: takes request reports, reassembles and checks the
// frame, runs the command against the deck and queues the reply's reports.
class Firmware
{
public:
    static constexpr std::size_t kMaxRequestFrame = 1024; // the reader's receive buffer
    static const char kDefaultVersion[];

    Firmware();

    // The USB side.
    void receiveReport(const Report &report);
    Report nextReport();
    // Power lost (unplug): pending frames and replies are gone, cards reset.
    void powerLost();
    // Power lost, and the deck and every setting back to a new reader's.
    void reset();

    // For command handlers.
    Deck &deck() { return m_deck; }
    template <class T> T &unit()
    {
        std::unique_ptr<Unit> &slot = m_units[std::type_index(typeid(T))];
        if (!slot)
            slot = std::make_unique<T>();
        return static_cast<T &>(*slot);
    }
    // Success with `data`, laid out as replyLayout says.
    Reply acknowledge(const Bytes &data = {}) const;
    // What a fetch with no reply queued answers; none: 32 zero bytes.
    using IdleAnswer = Reply (*)(Firmware &);
    void setIdleAnswer(IdleAnswer answer) { m_idle = answer; }

    // The reader's own settings and record.
    std::string versionText = kDefaultVersion;
    std::vector<std::uint8_t> beeps; // the length parameter of each beep
    // How a successful single-report reply lays out what it carries when the
    // host takes nothing from it (field switch, Type A request and select, M1
    // authentication and writes, contact and memory-card power-off, memory-card
    // codes, the stripe format). Readers differ here; the host must not care.
    enum class ReplyLayout
    {
        Length,  // 02 02 00, L in two bytes, the payload from offset 5
        Counted, // 02 02 00, a one-byte count, the data from offset 4
    };
    ReplyLayout replyLayout = ReplyLayout::Length;

    // Every request frame completed since the last reset, as reassembled.
    const std::vector<Bytes> &requestFrames() const { return m_requests; }
    void clearRequestFrames() { m_requests.clear(); }
    void keepLastRequestFrames(std::size_t n)
    {
        if (m_requests.size() > n)
            m_requests.erase(m_requests.begin(), m_requests.end() - static_cast<std::ptrdiff_t>(n));
    }
    std::size_t queuedReports() const { return m_replies.size(); }

private:
    void process(const Bytes &frame);
    void queue(const Reply &reply);

    CommandTable m_commands;
    Deck m_deck;
    std::map<std::type_index, std::unique_ptr<Unit>> m_units;
    IdleAnswer m_idle = nullptr;

    Bytes m_assembly;          // the request frame being received
    bool m_assembling = false; // a 0x82 report came and its last has not
    bool m_overflow = false;
    std::deque<Report> m_replies;
    std::vector<Bytes> m_requests;
};

} // namespace dorvent::emulator
