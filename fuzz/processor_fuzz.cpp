// libFuzzer target: arbitrary message text, one request a line, through the
// processor against the emulated reader holding the demo cards and a 4428
// beside the demo 4442. Seeds open the reader and power a memory card first,
// so that mutations reach the card commands' range and text checks. Nothing may
// crash (AddressSanitizer and UndefinedBehaviorSanitizer watch), and each
// request gets exactly one reply (an answer, or its own text echoed back),
// except the two fingerprint names, which do nothing and answer nothing.
// The quick reading of a request, where it takes the text, must read what
// Qt's JSON parser reads.

#include "action.h"
#include "demodeck.h"
#include "emulatedreader.h"
#include "memorycards.h"
#include "request.h"
#include "textmessageprocessor.h"

#include <QByteArray>
#include <QGuiApplication>
#include <QString>
#include <QWebSocket>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kMaxRequests = 8; // per input: enough for "open", then a few actions
constexpr std::uint8_t kSecondMemorySlot = 0x0F; // free in the demo deck
constexpr const char *kSilentActions[] = {"collectFingerPrint", "ctnFingerPrint"};
int g_replies = 0;

void noPause(int) {}
void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

void checkReadings(QString text)
{
    using dorvent::protocol::Request;
    text.replace(QLatin1Char('\''), QLatin1Char('"'));
    Request::Fields quick;
    if (!Request::readFlat(text, quick))
        return;
    const Request::Fields general = Request::readGeneral(text);
    bool same = quick.size() == general.size();
    for (const Request::Field &field : quick) {
        const auto other = std::find_if(general.begin(), general.end(),
                                        [&field](const Request::Field &f) { return f.key == field.key; });
        same = same && other != general.end() && other->value == field.value
               && other->value.isNull() == field.value.isNull();
    }
    if (!same) {
        std::fprintf(stderr, "the quick reading differs from the general one\n");
        std::abort();
    }
}

} // namespace

// The fuzzer stands in for the socket's send (this definition takes the
// place of the library's): it only counts the replies.
qint64 QWebSocket::sendTextMessage(const QString &message)
{
    ++g_replies;
    return message.size();
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(quiet);
    // The identity card's pictures are drawn with the GUI module.
    static QGuiApplication app(*argc, *argv);
    luvaroCard::setSleepFunction(&noPause);
    dorvent::protocol::setSwipePollInterval(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > 64 * 1024)
        return 0;
    // The demo deck and a new processor each time: no input depends on the last.
    dorvent::emulator::installDemoDeck();
    dorvent::emulator::EmulatedReader::instance().deck().contactSlot(kSecondMemorySlot)->insert(
        dorvent::emulator::demoCard4428());
    CTextMessageProcessor processor;
    QWebSocket socket;
    const QList<QByteArray> lines = QByteArray::fromRawData(reinterpret_cast<const char *>(data),
                                                            static_cast<int>(size)).split('\n');
    for (int i = 0; i < lines.size() && i < kMaxRequests; ++i) {
        const QString text = QString::fromUtf8(lines[i]);
        checkReadings(text);
        const QString act = dorvent::protocol::Request::read(text).act;
        int expected = 1;
        for (const char *silent : kSilentActions)
            expected = act == QLatin1String(silent) ? 0 : expected;
        g_replies = 0;
        processor.Process(&socket, text);
        // A swipe read waits on the event loop: run its polls to the end.
        while (processor.isReaderHeld())
            QCoreApplication::processEvents(QEventLoop::AllEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (g_replies != expected) {
            std::fprintf(stderr, "request %d answered %d times, not %d\n", i, g_replies, expected);
            std::abort();
        }
    }
    return 0;
}
