// wlttool: the WLT photo codec from the command line.
//
//   wlttool decode BLOCK OUT.bmp      a 1024-byte photo block to a 102 x 126 BMP
//   wlttool encode PICTURE OUT.wlt    a PNG, BMP or JPEG picture to a block
//
// A block that does not decode gets the decoder's code and its meaning on
// standard error and exit status 2; other failures exit with 1.

#include <QCoreApplication>
#include <QFile>
#include <QImage>

#include <cstdio>
#include <vector>

#include "libwlt.h"
#include "wltencoder.h"

namespace {

int usage()
{
    std::fprintf(stderr,
                 "usage: wlttool decode BLOCK OUT.bmp\n"
                 "       wlttool encode PICTURE OUT.wlt\n");
    return 1;
}

bool writeFile(const QString &path, const char *data, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data, size) != size) {
        std::fprintf(stderr, "wlttool: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

int decode(const QString &inPath, const QString &outPath)
{
    QFile file(inPath);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "wlttool: cannot read %s\n", qPrintable(inPath));
        return 1;
    }
    const QByteArray block = file.readAll();
    std::vector<unsigned char> bmp(kWltBmpFileSize);
    int bmpLength = 0;
    libwlt decoder;
    const int result = decoder.Unpack_Data(reinterpret_cast<const unsigned char *>(block.constData()),
                                           block.size(), bmp.data(), &bmpLength);
    if (result != WltSuccess) {
        std::fprintf(stderr, "wlttool: %s: WLT error %d: %s\n", qPrintable(inPath), result,
                     wltResultText(result));
        return 2;
    }
    return writeFile(outPath, reinterpret_cast<const char *>(bmp.data()), bmpLength) ? 0 : 1;
}

int encode(const QString &inPath, const QString &outPath)
{
    QImage image(inPath);
    if (image.isNull()) {
        std::fprintf(stderr, "wlttool: cannot read the picture %s\n", qPrintable(inPath));
        return 1;
    }
    if (image.width() != kWltPictureWidth || image.height() != kWltPictureHeight) {
        std::fprintf(stderr, "wlttool: %s is %dx%d; scaling to %dx%d\n", qPrintable(inPath),
                     image.width(), image.height(), kWltPictureWidth, kWltPictureHeight);
        image = image.scaled(kWltPictureWidth, kWltPictureHeight, Qt::IgnoreAspectRatio,
                             Qt::SmoothTransformation);
    }
    image = image.convertToFormat(QImage::Format_RGB888);
    std::vector<unsigned char> rgb;
    rgb.reserve(size_t(kWltPictureWidth) * kWltPictureHeight * 3);
    for (int row = 0; row < kWltPictureHeight; ++row) {
        const uchar *line = image.constScanLine(row);
        rgb.insert(rgb.end(), line, line + kWltPictureWidth * 3);
    }
    wlt::EncoderOptions options;
    options.thorough = true; // a tool run can afford the best picture
    const std::vector<unsigned char> block = wlt::encodePhoto(rgb.data(), options);
    if (block.empty()) {
        std::fprintf(stderr, "wlttool: the picture could not be encoded\n");
        return 1;
    }
    return writeFile(outPath, reinterpret_cast<const char *>(block.data()), qint64(block.size())) ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4)
        return usage();
    if (args[1] == QLatin1String("decode"))
        return decode(args[2], args[3]);
    if (args[1] == QLatin1String("encode"))
        return encode(args[2], args[3]);
    return usage();
}
