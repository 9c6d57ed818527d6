#include "iso7816card.h"

#include <algorithm>
#include <string>
#include <utility>

namespace dorvent::emulator {

namespace {

using Bytes = Iso7816Responder::Bytes;

Bytes sw(std::uint16_t word)
{
    return {static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word & 0xFF)};
}

Bytes withSw(Bytes data, std::uint16_t word)
{
    const Bytes tail = sw(word);
    data.insert(data.end(), tail.begin(), tail.end());
    return data;
}

constexpr std::uint16_t kOk = 0x9000;
constexpr std::uint16_t kEndReached = 0x6282;
constexpr std::uint16_t kWrongLength = 0x6700;
constexpr std::uint16_t kNoCurrentEf = 0x6986;
constexpr std::uint16_t kNotFound = 0x6A82;
constexpr std::uint16_t kWrongP1P2 = 0x6B00;
constexpr std::uint16_t kInsUnknown = 0x6D00;
constexpr std::uint16_t kClaUnknown = 0x6E00;
constexpr std::uint16_t kMasterFile = 0x3F00;
constexpr std::uint16_t kRecordNotFound = 0x6A83;

} // namespace

Iso7816Responder::Iso7816Responder(std::vector<ElementaryFile> mfFiles,
                                   std::vector<Application> applications)
    : m_mfFiles(std::move(mfFiles)), m_applications(std::move(applications))
{
}

void Iso7816Responder::reset()
{
    m_currentApp = -1;
    m_currentFile = -1;
    m_state = kSeed;
    m_challenge.clear();
    for (const Application &application : m_applications)
        if (application.applet)
            application.applet->reset();
}

void Iso7816Responder::install(Application application)
{
    for (Application &existing : m_applications) {
        if (existing.aid == application.aid) {
            existing = std::move(application);
            return;
        }
    }
    m_applications.push_back(std::move(application));
}

bool Iso7816Responder::hasApplication(const Bytes &aid) const
{
    return std::any_of(m_applications.begin(), m_applications.end(),
                       [&aid](const Application &application) { return application.aid == aid; });
}

std::uint16_t Iso7816Responder::currentFileId() const
{
    return m_currentFile < 0 ? 0 : currentFiles().at(m_currentFile).fid;
}

const std::vector<Iso7816Responder::ElementaryFile> &Iso7816Responder::currentFiles() const
{
    return m_currentApp < 0 ? m_mfFiles : m_applications.at(m_currentApp).files;
}

Bytes Iso7816Responder::transmit(const Bytes &command)
{
    if (command.size() < 4)
        return sw(kWrongLength);
    if (m_currentApp >= 0) {
        if (const auto &applet = m_applications[m_currentApp].applet) {
            Bytes answer = applet->transmit(*this, command);
            if (!answer.empty())
                return answer;
        }
    }
    const std::uint8_t cla = command[0], ins = command[1], p1 = command[2], p2 = command[3];
    if (cla == 0xFF)
        return sw(kClaUnknown);

    // Short APDUs: case 1, 2 (Le), 3 (Lc data) and 4 (Lc data Le).
    Bytes data;
    int le = -1;
    if (command.size() == 5) {
        le = command[4];
    } else if (command.size() > 5) {
        const std::size_t lc = command[4];
        if (lc == 0 || command.size() < 5 + lc || command.size() > 6 + lc)
            return sw(kWrongLength);
        data.assign(command.begin() + 5, command.begin() + 5 + lc);
        if (command.size() == 6 + lc)
            le = command[5 + lc];
    }

    switch (ins) {
    case 0xA4:
        return select(p1, p2, data);
    case 0xB0:
        if (!data.empty())
            return sw(kWrongLength);
        return readBinary(p1, p2, le <= 0 ? 256 : le);
    case 0xB2:
        if (!data.empty())
            return sw(kWrongLength);
        return readRecord(p1, p2, le <= 0 ? 256 : le);
    case 0x84:
        if (!data.empty() || le <= 0)
            return sw(kWrongLength);
        return getChallenge(le);
    default:
        return sw(kInsUnknown);
    }
}

Bytes Iso7816Responder::select(std::uint8_t p1, std::uint8_t p2, const Bytes &data)
{
    if (p1 == 0x04) { // by DF name; a leading part of an AID selects it too
        for (std::size_t i = 0; i < m_applications.size(); ++i) {
            const Bytes &aid = m_applications[i].aid;
            if (data.empty() || data.size() > aid.size() || !std::equal(data.begin(), data.end(), aid.begin()))
                continue;
            m_currentApp = static_cast<int>(i);
            m_currentFile = -1;
            if ((p2 & 0x0C) == 0x0C) // no FCI wanted
                return sw(kOk);
            Bytes fci{0x6F, static_cast<std::uint8_t>(aid.size() + 2), 0x84,
                      static_cast<std::uint8_t>(aid.size())};
            fci.insert(fci.end(), aid.begin(), aid.end());
            return withSw(fci, kOk);
        }
        return sw(kNotFound);
    }
    if (p1 == 0x00 || p1 == 0x02) { // by file id
        if (data.size() != 2)
            return sw(kWrongLength);
        const std::uint16_t fid = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
        if (fid == kMasterFile && p1 == 0x00) {
            m_currentApp = -1;
            m_currentFile = -1;
            return sw(kOk);
        }
        const auto &files = currentFiles();
        for (std::size_t i = 0; i < files.size(); ++i) {
            if (files[i].fid == fid) {
                m_currentFile = static_cast<int>(i);
                return sw(kOk);
            }
        }
        return sw(kNotFound);
    }
    return sw(kWrongP1P2);
}

Bytes Iso7816Responder::readBinary(std::uint8_t p1, std::uint8_t p2, int le)
{
    const auto &files = currentFiles();
    std::size_t offset;
    if (p1 & 0x80) { // short file id in P1, offset in P2
        const int sfi = p1 & 0x1F;
        const auto it = std::find_if(files.begin(), files.end(),
                                     [sfi](const ElementaryFile &f) { return f.sfi != 0 && f.sfi == sfi; });
        if (it == files.end())
            return sw(kNotFound);
        m_currentFile = static_cast<int>(it - files.begin());
        offset = p2;
    } else {
        if (m_currentFile < 0)
            return sw(kNoCurrentEf);
        offset = static_cast<std::size_t>(p1 << 8 | p2);
    }
    const Bytes &content = files[m_currentFile].content;
    if (offset > content.size())
        return sw(kWrongP1P2);
    const std::size_t count = std::min(content.size() - offset, static_cast<std::size_t>(le));
    Bytes chunk(content.begin() + offset, content.begin() + offset + count);
    return withSw(chunk, count < static_cast<std::size_t>(le) ? kEndReached : kOk);
}

// P2: a short file id in its top five bits (0: the current file), then 100
// for record number P1 or 000 for the first record whose identifier is P1.
Bytes Iso7816Responder::readRecord(std::uint8_t p1, std::uint8_t p2, int le)
{
    const auto &files = currentFiles();
    const int sfi = p2 >> 3;
    const int mode = p2 & 0x07;
    if (p1 == 0 || (mode != 0x04 && mode != 0x00))
        return sw(kWrongP1P2);
    if (sfi != 0) {
        const auto it = std::find_if(files.begin(), files.end(),
                                     [sfi](const ElementaryFile &f) { return f.sfi != 0 && f.sfi == sfi; });
        if (it == files.end())
            return sw(kNotFound);
        m_currentFile = static_cast<int>(it - files.begin());
    } else if (m_currentFile < 0) {
        return sw(kNoCurrentEf);
    }
    const ElementaryFile *file = &files[m_currentFile];
    const Bytes *record = nullptr;
    if (mode == 0x04) {
        if (p1 <= file->records.size() && !file->records[p1 - 1].empty())
            record = &file->records[p1 - 1];
    } else {
        for (const Bytes &candidate : file->records)
            if (!candidate.empty() && candidate[0] == p1) {
                record = &candidate;
                break;
            }
    }
    if (!record)
        return sw(kRecordNotFound);
    const std::size_t count = std::min(record->size(), static_cast<std::size_t>(le));
    return withSw(Bytes(record->begin(), record->begin() + count), kOk);
}

Bytes Iso7816Responder::getChallenge(int le)
{
    Bytes out;
    for (int i = 0; i < le; ++i) {
        // xorshift32: repeatable, good enough for a test card.
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        out.push_back(static_cast<std::uint8_t>(m_state & 0xFF));
    }
    m_challenge = out;
    return withSw(out, kOk);
}

Iso7816Responder demoFileSystem()
{
    const Bytes pseAid{'1', 'P', 'A', 'Y', '.', 'S', 'Y', 'S', '.', 'D', 'D', 'F', '0', '1'};
    const Bytes demoAid{0xD1, 0x56, 0x00, 0x00, 0x01, 0x00};
    Iso7816Responder::ElementaryFile ef15{0x0015, 0x15, {}};
    for (std::uint8_t i = 1; i <= 16; ++i)
        ef15.content.push_back(i);
    const std::string label = "DORVENT DEMO CARD";
    Iso7816Responder::ElementaryFile record{0x0001, 0x01, Bytes(label.begin(), label.end())};
    Iso7816Responder::ElementaryFile balance{0x0002, 0x02, {0x00, 0x00, 0x03, 0xE8}};
    return Iso7816Responder({ef15}, {{pseAid, {record}}, {demoAid, {balance}}});
}

} // namespace dorvent::emulator
