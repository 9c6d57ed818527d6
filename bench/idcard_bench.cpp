// Identity-card benchmark.
//
// "readIDCard" through the command processor, with the emulated reader at
// zero latency, against the work the action cannot avoid, measured in the
// same run: decoding the card's photo, converting the bitmap to JPEG, and
// drawing and saving the pictures of both faces on the same templates.
// Prints both medians and their ratio (target: at most 1.3).
//
//   idcard_bench [ROUNDS]

#include "emulatedreader.h"
#include "idcard.h"
#include "idcardpictures.h"
#include "libwlt.h"
#include "textmessageprocessor.h"

#include <QApplication>
#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QPixmap>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using dorvent::emulator::EmulatedReader;

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

template <typename F>
double millisecondsOf(F f)
{
    const auto start = Clock::now();
    f();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void saveFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(bytes);
}

QByteArray jpegOf(const QPixmap &pixmap)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    pixmap.save(&buffer, "JPEG");
    return bytes;
}

// What any implementation of the action has to do for one card.
void unavoidableWork(const IDINFO &record, const QTemporaryDir &dir)
{
    unsigned char bitmap[kIdBitmapBufferSize];
    int length = 0;
    libwlt decoder;
    decoder.Unpack_Data(record.wlt, sizeof record.wlt, bitmap, &length);

    const QImage photo = QImage::fromData(bitmap, length, "BMP");
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    photo.save(&buffer, "JPEG");

    const QString photoPath = dir.filePath(QStringLiteral("photo.bmp"));
    photo.save(photoPath, "BMP");
    QPixmap front(QString::fromLatin1(idcardpictures::kFrontTemplate));
    idcardpictures::drawFront(front, record, QFile::encodeName(photoPath).constData());
    saveFile(dir.filePath(QStringLiteral("front.jpg")), jpegOf(front));
    QPixmap back(QString::fromLatin1(idcardpictures::kBackTemplate));
    idcardpictures::drawBack(back, record);
    saveFile(dir.filePath(QStringLiteral("back.jpg")), jpegOf(back));
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;

    if (!QFile::exists(QString::fromLatin1(idcardpictures::kFrontTemplate)))
        std::printf("note: no card templates at %s (install them: make install); both sides draw nothing\n",
                    idcardpictures::kFrontTemplate);

    // The driver's console trace would dominate the figures on a terminal.
    std::fflush(stdout);
    FILE *console = std::fopen("/dev/null", "w");
    const int savedStdout = dup(fileno(stdout));
    dup2(fileno(console), fileno(stdout));

    EmulatedReader &reader = EmulatedReader::instance();
    reader.reset();
    reader.deck().idCardSam().insert(dorvent::emulator::demoIdentityCard());
    CTextMessageProcessor processor;
    processor.Process(nullptr, QStringLiteral("{'_act':'open'}"));

    // The record as the action reads it, for the baseline's drawing.
    IDINFO record;
    std::memset(&record, 0, sizeof record);
    char message[kIdMessageSize] = {};
    QTemporaryDir dir;
    const QByteArray scratchPhoto = QFile::encodeName(dir.filePath(QStringLiteral("decoded.bmp")));
    if (processor.card().luvaro_USB_ReadIDCard(0, scratchPhoto.constData(), &record, message) != 0) {
        dup2(savedStdout, fileno(stdout));
        std::fprintf(stderr, "idcard_bench: the emulated card could not be read: %s\n", message);
        return 1;
    }

    const QString request = QStringLiteral("{'_act':'readIDCard'}");
    std::vector<double> action, baseline;
    for (int i = 0; i < 3; ++i) { // warm-up: fonts, codecs, caches
        processor.Process(nullptr, request);
        unavoidableWork(record, dir);
    }
    for (int i = 0; i < rounds; ++i) {
        action.push_back(millisecondsOf([&] { processor.Process(nullptr, request); }));
        baseline.push_back(millisecondsOf([&] { unavoidableWork(record, dir); }));
    }

    std::fflush(stdout);
    dup2(savedStdout, fileno(stdout));
    std::fclose(console);

    const double a = median(action);
    const double b = median(baseline);
    std::printf("identity card, %d rounds, emulated reader at zero latency\n", rounds);
    std::printf("  readIDCard through the processor: median %8.3f ms\n", a);
    std::printf("  unavoidable work (photo decode, BMP->JPEG, both pictures drawn and saved): median %8.3f ms\n", b);
    std::printf("  ratio: %.3f (target <= 1.3)\n", a / b);
    return 0;
}
