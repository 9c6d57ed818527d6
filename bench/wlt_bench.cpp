// WLT photo codec benchmark.
//
// Decodes the portrait's 1024-byte block many times and, in the same run, the
// same picture saved as a JPEG of about the same size with libjpeg-turbo;
// prints both medians and their ratio. Then prints the encoder's PSNR over
// the whole RGB picture beside the best JPEG of at most 1024 bytes.
//
//   wlt_bench [PICTURE] [--save DIR]   (DIR receives the decoded pictures)

#include <QCoreApplication>
#include <QImage>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include <jpeglib.h>

#include "libwlt.h"
#include "wltencoder.h"

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

void save(const QString &dir, const char *name, const std::vector<unsigned char> &rgb)
{
    QImage image(rgb.data(), kWidth, kHeight, kWidth * 3, QImage::Format_RGB888);
    image.save(dir + QLatin1Char('/') + QLatin1String(name));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
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

    const auto encodeStart = Clock::now();
    wlt::EncoderOptions options;
    options.thorough = true;
    const std::vector<unsigned char> block = wlt::encodePhoto(rgb.data(), options);
    const double encodeMs = std::chrono::duration<double, std::milli>(Clock::now() - encodeStart).count();
    if (block.size() != size_t(kWltBlockSize)) {
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
    std::printf("  decode median  WLT %d bytes: %8.1f us   libjpeg-turbo %zu bytes (q%d): %8.1f us   ratio %.2f (target <= 3)\n",
                kWltBlockSize, wltMedian, jpeg.size(), jpegQuality, jpegMedian, wltMedian / jpegMedian);
    std::printf("  PSNR RGB       WLT %d bytes: %6.2f dB   JPEG %zu bytes: %6.2f dB   (target >= 26.8 dB)\n",
                kWltBlockSize, psnr(rgb, wltRgb), jpeg.size(), psnr(rgb, jpegRgb));
    std::printf("  encode         %.1f ms\n", encodeMs);

    if (!saveDir.isEmpty()) {
        save(saveDir, "wlt-decoded.png", wltRgb);
        save(saveDir, "jpeg-decoded.png", jpegRgb);
    }
    return 0;
}
