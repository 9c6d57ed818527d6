#include "firmware.h"

#include "families.h"

#include <cstdio>
#include <cstdlib>

namespace dorvent::emulator {
namespace {

constexpr std::uint8_t kMarkerLast = 0x02;
constexpr std::uint8_t kMarkerMore = 0x82;
constexpr std::uint8_t kRequestTag = 0x08;
constexpr std::uint8_t kReplyTag = 0x02;
constexpr std::size_t kCommandOffset = 5;
constexpr std::size_t kContinuation = kReportSize - 1;

std::uint8_t xorRange(const Bytes &bytes, std::size_t from, std::size_t to)
{
    std::uint8_t x = 0;
    for (std::size_t i = from; i <= to; ++i)
        x ^= bytes[i];
    return x;
}

} // namespace

const char Firmware::kDefaultVersion[] = "LV-EMU 1.0 Dorvent emulated reader";

Reply Reply::standard(std::uint8_t status, const Bytes &payload)
{
    Bytes body{kReplyTag, status, static_cast<std::uint8_t>(payload.size() & 0xFF),
               static_cast<std::uint8_t>(payload.size() >> 8 & 0xFF)};
    body.insert(body.end(), payload.begin(), payload.end());
    return custom(body);
}

Reply Reply::counted(const Bytes &data)
{
    Bytes body{kReplyTag, status::kOk, static_cast<std::uint8_t>(data.size())};
    body.insert(body.end(), data.begin(), data.end());
    return custom(body);
}

Reply Reply::custom(const Bytes &fromOffset1)
{
    Reply reply;
    reply.m_frame.reserve(fromOffset1.size() + 2);
    reply.m_frame.push_back(kMarkerLast);
    reply.m_frame.insert(reply.m_frame.end(), fromOffset1.begin(), fromOffset1.end());
    reply.m_frame.push_back(xorRange(reply.m_frame, 1, reply.m_frame.size() - 1));
    return reply;
}

Reply Firmware::acknowledge(const Bytes &data) const
{
    return replyLayout == ReplyLayout::Counted ? Reply::counted(data) : Reply::ok(data);
}

void CommandTable::add(const CommandEntry &entry)
{
    if (m_entries[entry.code]) {
        std::fprintf(stderr, "emulated reader: command 0x%02X registered twice (%s, %s)\n",
                     entry.code, m_entries[entry.code]->name, entry.name);
        std::abort();
    }
    m_entries[entry.code] = &entry;
}

Firmware::Firmware()
{
    installFamilies(m_commands);
}

void Firmware::receiveReport(const Report &report)
{
    const std::uint8_t marker = report[0];
    if (marker != kMarkerLast && marker != kMarkerMore) {
        m_assembling = false;
        m_replies.clear();
        queue(Reply::failed(status::kBadFrame));
        return;
    }
    if (!m_assembling) {
        // A new request: whatever of the last reply was not fetched is dropped.
        m_replies.clear();
        m_assembly.assign(report.begin(), report.end());
        m_overflow = false;
    } else if (m_assembly.size() + kContinuation <= kMaxRequestFrame) {
        m_assembly.insert(m_assembly.end(), report.begin() + 1, report.end());
    } else {
        m_overflow = true;
    }
    m_assembling = marker == kMarkerMore;
    if (m_assembling)
        return;
    if (m_overflow)
        queue(Reply::failed(status::kBadFrame));
    else
        process(m_assembly);
}

void Firmware::process(const Bytes &frame)
{
    m_requests.push_back(frame);
    if (frame[1] != kRequestTag || frame[2] != 0x00) {
        queue(Reply::failed(status::kBadFrame));
        return;
    }
    const int length = frame[3] | frame[4] << 8;
    const std::uint8_t command = frame[kCommandOffset];
    const CommandEntry *entry = m_commands.find(command);
    const FrameRule rule = entry ? entry->rule : FrameRule{};

    int params = rule.params;
    if (params < 0 && rule.paramCount)
        params = rule.paramCount(Bytes(frame.begin() + kCommandOffset + 1, frame.end()));
    if (params < 0)
        params = length - 1;
    const std::size_t checksumAt = kCommandOffset + 1 + static_cast<std::size_t>(params);
    if ((rule.lField >= 0 && length != rule.lField) || params < 0 || checksumAt >= frame.size()
        || xorRange(frame, rule.checksumFrom, checksumAt - 1) != frame[checksumAt]) {
        queue(Reply::failed(status::kBadFrame));
        return;
    }
    if (!entry) {
        queue(Reply::failed(status::kUnknownCommand));
        return;
    }
    Request request;
    request.command = command;
    request.params.assign(frame.begin() + kCommandOffset + 1, frame.begin() + checksumAt);
    request.frame = frame;
    queue(entry->handler(*this, request));
}

void Firmware::queue(const Reply &reply)
{
    const Bytes &frame = reply.frame();
    if (frame.empty())
        return;
    Report report{};
    if (frame.size() <= kReportSize) {
        std::copy(frame.begin(), frame.end(), report.begin());
        report[0] = kMarkerLast;
        m_replies.push_back(report);
        return;
    }
    std::copy(frame.begin(), frame.begin() + kReportSize, report.begin());
    report[0] = kMarkerMore;
    m_replies.push_back(report);
    for (std::size_t sent = kReportSize; sent < frame.size();) {
        const std::size_t left = frame.size() - sent;
        const std::size_t chunk = left > kContinuation ? kContinuation : left;
        report.fill(0);
        report[0] = left > kContinuation ? kMarkerMore : kMarkerLast;
        std::copy(frame.begin() + sent, frame.begin() + sent + chunk, report.begin() + 1);
        m_replies.push_back(report);
        sent += chunk;
    }
}

Report Firmware::nextReport()
{
    if (m_replies.empty() && m_idle)
        queue(m_idle(*this));
    if (m_replies.empty())
        return Report{};
    const Report report = m_replies.front();
    m_replies.pop_front();
    return report;
}

void Firmware::powerLost()
{
    m_assembly.clear();
    m_assembling = false;
    m_overflow = false;
    m_replies.clear();
    m_idle = nullptr;
    m_deck.resetCards();
    for (auto &entry : m_units)
        entry.second->reset();
}

void Firmware::reset()
{
    powerLost();
    m_deck.clear();
    m_units.clear();
    versionText = kDefaultVersion;
    replyLayout = ReplyLayout::Length;
    beeps.clear();
    m_requests.clear();
}

} // namespace dorvent::emulator
