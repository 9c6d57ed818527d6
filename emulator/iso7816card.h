#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace dorvent::emulator {

// A small ISO 7816-4 file system: a master file with elementary files and
// applications (selected by AID) holding their own. It answers SELECT by AID
// and by file id, READ BINARY (also by short file id), READ RECORD, GET
// CHALLENGE, and 6A82 / 6D00 / 6E00 for what it does not have or know.
// Contact and contactless CPU cards share it. An application may bring an
// applet with instructions and access rules of its own.
class Iso7816Responder
{
public:
    using Bytes = std::vector<std::uint8_t>;
    struct ElementaryFile
    {
        std::uint16_t fid = 0;
        std::uint8_t sfi = 0; // 0: none
        Bytes content;
        // Record N is records[N - 1]; an empty one is absent. READ RECORD
        // finds a record by number, or by identifier (its first byte).
        std::vector<Bytes> records = {};
    };
    class Applet;
    struct Application
    {
        Bytes aid;
        std::vector<ElementaryFile> files;
        std::shared_ptr<Applet> applet = nullptr; // sees the commands first while selected
    };
    // What an application adds to the common commands.
    class Applet
    {
    public:
        virtual ~Applet() = default;
        // The answer, or empty to leave the command to the responder.
        virtual Bytes transmit(const Iso7816Responder &card, const Bytes &command) = 0;
        // Power-on: whatever the session built up is gone.
        virtual void reset() {}
    };

    Iso7816Responder() = default;
    Iso7816Responder(std::vector<ElementaryFile> mfFiles, std::vector<Application> applications);

    // A response APDU: data followed by SW1 SW2.
    Bytes transmit(const Bytes &command);
    // Power-on: back to the master file, the challenge sequence restarted.
    void reset();

    // Adds an application, replacing one with the same AID.
    void install(Application application);
    bool hasApplication(const Bytes &aid) const;
    // For applets: the selected file's id (0: none), the last challenge given.
    std::uint16_t currentFileId() const;
    const Bytes &lastChallenge() const { return m_challenge; }

private:
    Bytes select(std::uint8_t p1, std::uint8_t p2, const Bytes &data);
    Bytes readBinary(std::uint8_t p1, std::uint8_t p2, int le);
    Bytes readRecord(std::uint8_t p1, std::uint8_t p2, int le);
    Bytes getChallenge(int le);
    const std::vector<ElementaryFile> &currentFiles() const;

    std::vector<ElementaryFile> m_mfFiles;
    std::vector<Application> m_applications;
    int m_currentApp = -1;  // -1: the master file
    int m_currentFile = -1; // index into the current DF's files
    std::uint32_t m_state = kSeed;
    Bytes m_challenge;
    static constexpr std::uint32_t kSeed = 0x2545F491u; // challenges repeat from power-on
};

// The demo file system: EF 0015 under the master file, and two applications
// (the payment directory "1PAY.SYS.DDF01" and D156000001 00) with one EF each.
Iso7816Responder demoFileSystem();

} // namespace dorvent::emulator
