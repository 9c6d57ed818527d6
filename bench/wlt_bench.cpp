// WLT photo codec benchmark.
//
// Decodes the portrait's 1024-byte block many times and, in the same run, the
// same picture saved as a JPEG of about the same size with libjpeg-turbo;
// prints both medians and their ratio. Where the machine can count them
// (hardware counters, or else valgrind's callgrind on the PATH) it prints the
// instructions of one decode of each, and beside them the work the format
// cannot avoid: the binary decisions of the arithmetic decoder and the
// samples the inverse wavelet lifts. Then the encoder's PSNR over the whole
// RGB picture beside the best JPEG of at most 1024 bytes, and the encoder's
// time in both modes.
//
//   wlt_bench [PICTURE] [--save DIR]   (DIR receives the decoded pictures)

#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include <jpeglib.h>
#include <linux/perf_event.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "libwlt.h"
#include "wltdecoder.h"
#include "wltencoder.h"
#include "wlttransform.h"

namespace {

constexpr int kWidth = kWltPictureWidth;
constexpr int kHeight = kWltPictureHeight;
constexpr int kRounds = 3000;

using Clock = std::chrono::steady_clock;

std::vector<unsigned char> encodeJpeg(const std::vector<unsigned char> &rgb, int quality)
{
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = kWidth;
    cinfo.image_height = kHeight;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    cinfo.optimize_coding = TRUE;
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<unsigned char *>(&rgb[size_t(cinfo.next_scanline) * kWidth * 3]);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<unsigned char> out(buffer, buffer + size);
    free(buffer);
    return out;
}

void decodeJpeg(const std::vector<unsigned char> &jpeg, std::vector<unsigned char> &rgb)
{
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), jpeg.size());
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    rgb.resize(size_t(cinfo.output_width) * cinfo.output_height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = &rgb[size_t(cinfo.output_scanline) * cinfo.output_width * 3];
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
}

// RGB rows top-down from the 24-bit bottom-up BMP the decoder writes.
std::vector<unsigned char> bmpToRgb(const std::vector<unsigned char> &bmp)
{
    std::vector<unsigned char> rgb(size_t(kWidth) * kHeight * 3);
    const int rowSize = kWidth * 3 + 2;
    for (int r = 0; r < kHeight; ++r) {
        const unsigned char *src = &bmp[54 + size_t(kHeight - 1 - r) * rowSize];
        for (int c = 0; c < kWidth; ++c) {
            rgb[(size_t(r) * kWidth + c) * 3 + 0] = src[3 * c + 2];
            rgb[(size_t(r) * kWidth + c) * 3 + 1] = src[3 * c + 1];
            rgb[(size_t(r) * kWidth + c) * 3 + 2] = src[3 * c + 0];
        }
    }
    return rgb;
}

double psnr(const std::vector<unsigned char> &a, const std::vector<unsigned char> &b)
{
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = double(a[i]) - double(b[i]);
        sum += d * d;
    }
    const double mse = sum / double(a.size());
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

template <typename F>
double medianMicroseconds(F f)
{
    std::vector<double> times(kRounds);
    for (double &t : times) {
        const auto start = Clock::now();
        f();
        t = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    }
    std::nth_element(times.begin(), times.begin() + kRounds / 2, times.end());
    return times[kRounds / 2];
}

// ---- Instruction counts ---------------------------------------------------

constexpr int kCountedRounds = 20;

// The hardware counter of user-space instructions, or -1 where the machine
// (a virtual one, say) has none.
long long countWithPerf(const std::function<void()> &f)
{
    perf_event_attr attr;
    std::memset(&attr, 0, sizeof attr);
    attr.type = PERF_TYPE_HARDWARE;
    attr.size = sizeof attr;
    attr.config = PERF_COUNT_HW_INSTRUCTIONS;
    attr.disabled = 1;
    attr.exclude_kernel = 1;
    attr.exclude_hv = 1;
    const int fd = int(syscall(SYS_perf_event_open, &attr, 0, -1, -1, 0));
    if (fd < 0)
        return -1;
    ioctl(fd, PERF_EVENT_IOC_RESET, 0);
    ioctl(fd, PERF_EVENT_IOC_ENABLE, 0);
    f();
    ioctl(fd, PERF_EVENT_IOC_DISABLE, 0);
    long long count = -1;
    if (read(fd, &count, sizeof count) != sizeof count)
        count = -1;
    close(fd);
    return count;
}

} // namespace

// What callgrind counts when this program runs itself with --count-decode or
// --count-jpeg: only these functions (and what they call) are collected.
extern "C" __attribute__((noinline)) void wltBenchDecodeRounds(libwlt *decoder, const unsigned char *block,
                                                                unsigned char *bmp)
{
    int length = 0;
    for (int i = 0; i < kCountedRounds; ++i)
        decoder->Unpack_Data(block, kWltBlockSize, bmp, &length);
}

extern "C" __attribute__((noinline)) void wltBenchJpegRounds(const std::vector<unsigned char> *jpeg,
                                                              std::vector<unsigned char> *rgb)
{
    for (int i = 0; i < kCountedRounds; ++i)
        decodeJpeg(*jpeg, *rgb);
}

namespace {

// Runs this program under callgrind collecting only `function`; the
// instructions per round, or -1 without valgrind.
long long countWithCallgrind(const QString &mode, const char *function, const QString &blockPath,
                             const QString &jpegPath)
{
    const QString valgrind = QStandardPaths::findExecutable(QStringLiteral("valgrind"));
    QTemporaryDir dir;
    if (valgrind.isEmpty() || !dir.isValid())
        return -1;
    const QString out = dir.filePath(QStringLiteral("callgrind.out"));
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(valgrind, {QStringLiteral("--tool=callgrind"), QStringLiteral("--callgrind-out-file=") + out,
                       QStringLiteral("--toggle-collect=") + QLatin1String(function),
                       QCoreApplication::applicationFilePath(), mode, blockPath, jpegPath});
    if (!p.waitForFinished(300000) || p.exitCode() != 0)
        return -1;
    QFile f(out);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    while (!f.atEnd()) {
        const QByteArray line = f.readLine().trimmed();
        if (line.startsWith("totals:") || line.startsWith("summary:"))
            return line.mid(line.indexOf(':') + 1).trimmed().toLongLong() / kCountedRounds;
    }
    return -1;
}

// The binary decisions a block's colour streams cost, and the samples its
// inverse wavelet lifts: per decode, what no decoder of the format avoids.
struct FormatWork {
    long decisions = 0;
    long liftedSamples = 0;
};

struct CountingCoder {
    wlt::QmDecoder &decoder;
    long &decisions;
    template <int kTree>
    int symbol(wlt::State &state, wlt::SymbolKind, int, int, int)
    {
        const int s = decoder.decodeSymbol(state);
        decisions += state.kind == 2 ? 1 : state.kind == 3 ? (s == 2 ? 1 : 2) : state.kind == 4 ? 2 : 3;
        return s;
    }
    bool IsEnd_2ff0() const { return decoder.IsEnd_2ff0(); }
};

FormatWork formatWork(const std::vector<unsigned char> &scrambled)
{
    using namespace wlt;
    FormatWork work;
    std::vector<uint8_t> block(scrambled);
    for (size_t i = kScrambledFrom; i < block.size(); ++i)
        block[i] ^= kWltScrambleMask;
    const int shapeLength = readLe32(&block[kShapeLengthOffset]);
    QmDecoder decoder;
    decoder.start(&block[kShapeStreamOffset], shapeLength, 1);
    Colour background;
    auto chain = std::make_unique<Chain>();
    if (decodeShape(decoder, background, *chain) != WltSuccess)
        return work;
    // The shape stream's fixed fields, its first direction, one per turn and the final bit.
    work.decisions = 1 + 4 * 8 + 16 + 2 * 12 + 3 * (chain->count > 0 ? chain->count : 1) + 1;
    auto n = std::make_unique<Plane8>();
    auto shape = std::make_unique<ShapeIndex>();
    auto plan = std::make_unique<SynthesisPlan>();
    auto planes = std::make_unique<ChannelPlanes>();
    fillChain(*chain, *n);
    buildShapeIndex(*n, *shape, plan.get());
    size_t offset = size_t(kShapeStreamOffset + shapeLength);
    const StreamLengths lengths = colourStreamLengths(readLe32(&block[offset]));
    offset += 4;
    for (int64_t length : {lengths.l0, lengths.l1, lengths.l2}) {
        std::vector<uint8_t> stream(size_t(length), 0);
        for (size_t i = 0; i < stream.size() && offset + i < block.size(); ++i)
            stream[i] = block[offset + i];
        QmDecoder colour;
        colour.start(stream.data(), int(stream.size()), 2);
        CountingCoder coder{colour, work.decisions};
        BitPlaneWalk<CountingCoder> walk(coder, *shape, *planes);
        walk.run(stream[0]);
        offset += size_t(length);
    }
    long samples = 0;
    for (int line = 0; line < SynthesisPlan::kMaxLines; ++line) {
        for (int r = 0; r < plan->runCount[line]; ++r)
            samples += plan->runs[line][r].length;
    }
    work.liftedSamples = 3 * samples;
    return work;
}

std::vector<unsigned char> readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = f.readAll();
    return std::vector<unsigned char>(data.begin(), data.end());
}

void writeFile(const QString &path, const std::vector<unsigned char> &data)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(reinterpret_cast<const char *>(data.data()), qint64(data.size()));
}

// The child's side of countWithCallgrind.
int countMode(const QStringList &args)
{
    const std::vector<unsigned char> block = readFile(args.value(2));
    const std::vector<unsigned char> jpeg = readFile(args.value(3));
    if (block.size() != size_t(kWltBlockSize) || jpeg.empty())
        return 1;
    if (args[1] == QLatin1String("--count-decode")) {
        libwlt decoder;
        std::vector<unsigned char> bmp(kWltBmpFileSize);
        int length = 0;
        decoder.Unpack_Data(block.data(), kWltBlockSize, bmp.data(), &length); // the workspace, once
        wltBenchDecodeRounds(&decoder, block.data(), bmp.data());
    } else {
        std::vector<unsigned char> rgb;
        wltBenchJpegRounds(&jpeg, &rgb);
    }
    return 0;
}

void save(const QString &dir, const char *name, const std::vector<unsigned char> &rgb)
{
    QImage image(rgb.data(), kWidth, kHeight, kWidth * 3, QImage::Format_RGB888);
    image.save(dir + QLatin1Char('/') + QLatin1String(name));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (app.arguments().size() == 4 && app.arguments()[1].startsWith(QLatin1String("--count-")))
        return countMode(app.arguments());
    QString picturePath = QStringLiteral(DORVENT_SOURCE_DIR "/data/portrait-102x126.png");
    QString saveDir;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--save") && i + 1 < args.size())
            saveDir = args[++i];
        else
            picturePath = args[i];
    }
    QImage image(picturePath);
    if (image.isNull() || image.width() != kWidth || image.height() != kHeight) {
        std::fprintf(stderr, "wlt_bench: need a %dx%d picture, not %s\n", kWidth, kHeight,
                     qPrintable(picturePath));
        return 1;
    }
    image = image.convertToFormat(QImage::Format_RGB888);
    std::vector<unsigned char> rgb;
    for (int r = 0; r < kHeight; ++r)
        rgb.insert(rgb.end(), image.constScanLine(r), image.constScanLine(r) + kWidth * 3);

    auto encodeMs = [&rgb](bool thorough, std::vector<unsigned char> &out) {
        wlt::EncoderOptions options;
        options.thorough = thorough;
        const auto start = Clock::now();
        out = wlt::encodePhoto(rgb.data(), options);
        return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    };
    std::vector<unsigned char> block, quickBlock;
    const double thoroughMs = encodeMs(true, block);
    double quickMs = encodeMs(false, quickBlock);
    for (int i = 0; i < 4; ++i)
        quickMs = std::min(quickMs, encodeMs(false, quickBlock));
    if (block.size() != size_t(kWltBlockSize) || quickBlock.size() != size_t(kWltBlockSize)) {
        std::fprintf(stderr, "wlt_bench: the encoder failed\n");
        return 1;
    }

    std::vector<unsigned char> bmp(kWltBmpFileSize);
    int bmpLength = 0;
    libwlt decoder;
    if (decoder.Unpack_Data(block.data(), int(block.size()), bmp.data(), &bmpLength) != WltSuccess) {
        std::fprintf(stderr, "wlt_bench: the block does not decode\n");
        return 1;
    }
    const std::vector<unsigned char> wltRgb = bmpToRgb(bmp);

    // The best JPEG of at most 1024 bytes.
    std::vector<unsigned char> jpeg;
    int jpegQuality = 0;
    for (int q = 1; q <= 100; ++q) {
        std::vector<unsigned char> candidate = encodeJpeg(rgb, q);
        if (candidate.size() > size_t(kWltBlockSize))
            break;
        jpeg = std::move(candidate);
        jpegQuality = q;
    }
    std::vector<unsigned char> jpegRgb;
    decodeJpeg(jpeg, jpegRgb);

    const double wltMedian = medianMicroseconds([&] {
        decoder.Unpack_Data(block.data(), int(block.size()), bmp.data(), &bmpLength);
    });
    std::vector<unsigned char> scratch;
    const double jpegMedian = medianMicroseconds([&] { decodeJpeg(jpeg, scratch); });

    std::printf("WLT photo codec, %s\n", qPrintable(picturePath));
    std::printf("  decode median  WLT %d bytes: %8.1f us   libjpeg-turbo %zu bytes (q%d): %8.1f us   ratio %.2f (target <= 6)\n",
                kWltBlockSize, wltMedian, jpeg.size(), jpegQuality, jpegMedian, wltMedian / jpegMedian);

    // Instructions per decode: hardware counters, else callgrind.
    const FormatWork work = formatWork(block);
    std::vector<unsigned char> countBmp(kWltBmpFileSize);
    long long wltInstructions = countWithPerf([&] { wltBenchDecodeRounds(&decoder, block.data(), countBmp.data()); });
    long long jpegInstructions = countWithPerf([&] { wltBenchJpegRounds(&jpeg, &scratch); });
    const char *counter = "hardware counters";
    if (wltInstructions < 0 || jpegInstructions < 0) {
        counter = "callgrind";
        QTemporaryDir dir;
        const QString blockPath = dir.filePath(QStringLiteral("block.wlt"));
        const QString jpegPath = dir.filePath(QStringLiteral("picture.jpg"));
        writeFile(blockPath, block);
        writeFile(jpegPath, jpeg);
        wltInstructions = countWithCallgrind(QStringLiteral("--count-decode"), "wltBenchDecodeRounds", blockPath, jpegPath);
        jpegInstructions = countWithCallgrind(QStringLiteral("--count-jpeg"), "wltBenchJpegRounds", blockPath, jpegPath);
    } else {
        wltInstructions /= kCountedRounds;
        jpegInstructions /= kCountedRounds;
    }
    std::printf("  format's work  %ld binary decisions, %ld lifted samples per decode\n", work.decisions,
                work.liftedSamples);
    if (wltInstructions > 0 && jpegInstructions > 0) {
        std::printf("  instructions   WLT %lld per decode   libjpeg-turbo %lld   ratio %.2f   (%s)\n", wltInstructions,
                    jpegInstructions, double(wltInstructions) / double(jpegInstructions), counter);
        std::printf("                 WLT per decision and lifted sample: %.1f\n",
                    double(wltInstructions) / double(work.decisions + work.liftedSamples));
    } else {
        std::printf("  instructions   not counted: no hardware counters here and no valgrind on the PATH\n");
    }

    std::printf("  PSNR RGB       WLT %d bytes: %6.2f dB   JPEG %zu bytes: %6.2f dB   (target >= 26.8 dB)\n",
                kWltBlockSize, psnr(rgb, wltRgb), jpeg.size(), psnr(rgb, jpegRgb));
    std::vector<unsigned char> quickBmp(kWltBmpFileSize);
    decoder.Unpack_Data(quickBlock.data(), kWltBlockSize, quickBmp.data(), &bmpLength);
    std::printf("  PSNR RGB       WLT quick mode: %6.2f dB\n", psnr(rgb, bmpToRgb(quickBmp)));
    std::printf("  encode         thorough %.1f ms   quick %.1f ms (best of 5)\n", thoroughMs, quickMs);

    if (!saveDir.isEmpty()) {
        save(saveDir, "wlt-decoded.png", wltRgb);
        save(saveDir, "jpeg-decoded.png", jpegRgb);
    }
    return 0;
}
