// The encoder and decoder together: pictures through a 1024-byte block and
// back, the outline found and filled, and committed blocks whose decoded
// bitmaps must not change.

#include <QCryptographicHash>
#include <QFile>
#include <QImage>
#include <QRandomGenerator>
#include <QtTest>

#include <cmath>
#include <functional>
#include <vector>

#include "libwlt.h"
#include "wltdecoder.h"
#include "wltencoder.h"
#include "wltencoder_p.h"
#include "wlttransform.h"

using namespace wlt;

namespace {

using Rgb = std::vector<uint8_t>;
using PixelFunction = std::function<void(int row, int col, uint8_t *rgb)>;

Rgb makePicture(const PixelFunction &f)
{
    Rgb rgb(size_t(kPictureRows) * kPictureCols * 3);
    for (int r = 0; r < kPictureRows; ++r) {
        for (int c = 0; c < kPictureCols; ++c)
            f(r, c, &rgb[(size_t(r) * kPictureCols + size_t(c)) * 3]);
    }
    return rgb;
}

Rgb loadPortrait()
{
    QImage image(QStringLiteral(DORVENT_SOURCE_DIR "/data/portrait-102x126.png"));
    image = image.convertToFormat(QImage::Format_RGB888);
    Rgb rgb;
    for (int r = 0; r < image.height(); ++r)
        rgb.insert(rgb.end(), image.constScanLine(r), image.constScanLine(r) + image.width() * 3);
    return rgb;
}

bool inDisc(int r, int c) { return (r - 70) * (r - 70) + (c - 50) * (c - 50) < 40 * 40; }
// Shoulders across the bottom and both sides, a head above.
bool inBust(int r, int c) { return r >= 80 || (r - 45) * (r - 45) + (c - 51) * (c - 51) < 36 * 36; }

// The test pictures by name; an unknown name gives an empty picture.
struct NamedPicture {
    const char *name;
    Rgb (*make)();
};

const NamedPicture kPictures[] = {
    {"portrait", loadPortrait},
    {"white", [] { return makePicture([](int, int, uint8_t *p) { p[0] = p[1] = p[2] = 255; }); }},
    {"teal", [] { return makePicture([](int, int, uint8_t *p) { p[0] = 0; p[1] = 128; p[2] = 128; }); }},
    {"horizontal gradient",
     [] {
         return makePicture([](int, int c, uint8_t *p) {
             p[0] = uint8_t(c * 5 / 2);
             p[1] = 90;
             p[2] = uint8_t(255 - c * 2);
         });
     }},
    {"vertical gradient", [] { return makePicture([](int r, int, uint8_t *p) { p[0] = p[1] = p[2] = uint8_t(r * 2); }); }},
    {"disc on white",
     [] {
         return makePicture([](int r, int c, uint8_t *p) {
             const bool in = inDisc(r, c);
             p[0] = in ? uint8_t(200 - r) : 255;
             p[1] = in ? uint8_t(60 + c) : 255;
             p[2] = in ? 40 : 255;
         });
     }},
    {"bust touching the border",
     [] {
         return makePicture([](int r, int c, uint8_t *p) {
             const bool in = inBust(r, c);
             p[0] = in ? uint8_t(120 + r / 2) : 250;
             p[1] = in ? uint8_t(80 + c / 2) : 250;
             p[2] = in ? 70 : 250;
         });
     }},
    {"noise",
     [] {
         QRandomGenerator random(3);
         return makePicture([&random](int, int, uint8_t *p) {
             for (int k = 0; k < 3; ++k)
                 p[k] = uint8_t(random.bounded(256));
         });
     }},
};

Rgb picture(const QByteArray &name)
{
    for (const NamedPicture &p : kPictures) {
        if (name == p.name)
            return p.make();
    }
    return {};
}

double psnr(const Rgb &a, const Rgb &b)
{
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i)
        sum += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    return sum == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 * double(a.size()) / sum);
}

uint32_t le32(const QByteArray &b, int at)
{
    return uint8_t(b[at]) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16
           | uint32_t(uint8_t(b[at + 3])) << 24;
}

// Checks the header and returns the picture, rows top-down, R G B.
Rgb bmpPixels(const QByteArray &bmp)
{
    Rgb rgb;
    if (bmp.size() != 38862 || !bmp.startsWith("BM") || le32(bmp, 2) != 38862 || le32(bmp, 6) != 0
        || le32(bmp, 10) != 54 || le32(bmp, 14) != 40 || le32(bmp, 18) != 102 || le32(bmp, 22) != 126
        || bmp.mid(26, 4) != QByteArray::fromHex("01001800") || bmp.mid(30, 24) != QByteArray(24, '\0'))
        return rgb;
    for (int r = 0; r < kPictureRows; ++r) {
        const char *row = bmp.constData() + 54 + (kPictureRows - 1 - r) * 308;
        for (int c = 0; c < kPictureCols; ++c) {
            rgb.push_back(uint8_t(row[3 * c + 2]));
            rgb.push_back(uint8_t(row[3 * c + 1]));
            rgb.push_back(uint8_t(row[3 * c + 0]));
        }
    }
    return rgb;
}

int decode(const QByteArray &block, QByteArray &bmp)
{
    bmp = QByteArray(40960, '\0');
    int length = 0;
    libwlt decoder;
    const int result = decoder.Unpack_Data(reinterpret_cast<const unsigned char *>(block.constData()), block.size(),
                                           reinterpret_cast<unsigned char *>(bmp.data()), &length);
    bmp.truncate(result == WltSuccess ? length : 0);
    return result;
}

// The person's mask a picture was drawn with, where the test knows it.
using ShapeFunction = bool (*)(int row, int col);

} // namespace

Q_DECLARE_METATYPE(ShapeFunction)

class tst_WltCodec : public QObject {
    Q_OBJECT
private slots:
    void roundTrip_data();
    void roundTrip();
    void outlineReproducesShape_data();
    void outlineReproducesShape();
    void channelStreams_data();
    void channelStreams();
    void fixtures_data();
    void fixtures();
};

void tst_WltCodec::roundTrip_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("thorough");
    QTest::addColumn<double>("minimumPsnr");
    QTest::newRow("portrait, thorough") << QByteArray("portrait") << true << 26.2;
    QTest::newRow("disc on white, thorough") << QByteArray("disc on white") << true << 34.9;
    QTest::newRow("bust touching the border, thorough") << QByteArray("bust touching the border") << true << 36.7;
    QTest::newRow("portrait") << QByteArray("portrait") << false << 26.0;
    QTest::newRow("white") << QByteArray("white") << false << 45.0;
    QTest::newRow("teal") << QByteArray("teal") << false << 40.0;
    QTest::newRow("horizontal gradient") << QByteArray("horizontal gradient") << false << 37.0;
    QTest::newRow("vertical gradient") << QByteArray("vertical gradient") << false << 45.0;
    QTest::newRow("disc on white") << QByteArray("disc on white") << false << 28.0;
    QTest::newRow("bust touching the border") << QByteArray("bust touching the border") << false << 28.0;
    QTest::newRow("noise") << QByteArray("noise") << false << 10.0;
}

void tst_WltCodec::roundTrip()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, thorough);
    QFETCH(double, minimumPsnr);
    const Rgb rgb = picture(name);
    QCOMPARE(int(rgb.size()), kPictureRows * kPictureCols * 3);
    EncoderOptions options;
    options.thorough = thorough;
    const std::vector<uint8_t> block = encodePhoto(rgb.data(), options);
    QCOMPARE(int(block.size()), kWltBlockSize);
    QByteArray bmp;
    QCOMPARE(decode(QByteArray(reinterpret_cast<const char *>(block.data()), int(block.size())), bmp), int(WltSuccess));
    const Rgb decoded = bmpPixels(bmp);
    QVERIFY2(!decoded.empty(), "BMP header fields or size wrong");
    const double quality = psnr(rgb, decoded);
    QVERIFY2(quality >= minimumPsnr, qPrintable(QStringLiteral("%1 dB").arg(quality, 0, 'f', 2)));
}

void tst_WltCodec::outlineReproducesShape_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<ShapeFunction>("drawn");
    QTest::addColumn<int>("pixels");
    QTest::newRow("disc on white") << QByteArray("disc on white") << ShapeFunction(inDisc) << -1;
    QTest::newRow("bust touching the border") << QByteArray("bust touching the border") << ShapeFunction(inBust) << -1;
    QTest::newRow("no background: the whole picture")
        << QByteArray("vertical gradient") << ShapeFunction(nullptr) << kPictureRows * kPictureCols;
    QTest::newRow("portrait") << QByteArray("portrait") << ShapeFunction(nullptr) << -1;
}

// The outline's fill, as the decoder fills, gives back the shape found.
void tst_WltCodec::outlineReproducesShape()
{
    QFETCH(QByteArray, name);
    QFETCH(ShapeFunction, drawn);
    QFETCH(int, pixels);
    const Rgb rgb = picture(name);
    Plane8 mask, n;
    Colour background;
    findShape(rgb.data(), EncoderOptions().backgroundTolerance, mask, background);
    Chain chain;
    outlineChain(mask, chain, n);
    QVERIFY(chain.count <= kMaxChainLength);
    int inside = 0;
    for (int r = 0; r < kPictureRows; ++r) {
        for (int c = 0; c < kPictureCols; ++c) {
            QCOMPARE(int(n[r][c]), int(mask[r][c]));
            inside += n[r][c];
            if (drawn)
                QCOMPARE(int(mask[r][c]), int(drawn(r, c)));
        }
    }
    if (pixels >= 0)
        QCOMPARE(inside, pixels);
}

void tst_WltCodec::channelStreams_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("realBytes");
    QTest::newRow("a few bytes") << 6 << 6;
    QTest::newRow("chroma-sized") << 85 << 85;
    QTest::newRow("luma-sized") << 800 << 800;
    QTest::newRow("running past the block") << 120 << 90;
}

// The portrait's luma coded into streams of one length: once checked, each
// decodes to the values the encoder says it does, those are the true values
// down to the precision it reports, and half the bytes give a worse channel.
void tst_WltCodec::channelStreams()
{
    QFETCH(int, length);
    QFETCH(int, realBytes);
    const Rgb rgb = picture("portrait");
    Plane8 mask, n;
    Colour background;
    findShape(rgb.data(), EncoderOptions().backgroundTolerance, mask, background);
    auto chain = std::make_unique<Chain>();
    outlineChain(mask, *chain, n);
    auto shape = std::make_unique<ShapeIndex>();
    buildShapeIndex(n, *shape);
    auto coefficients = std::make_unique<Plane32>();
    for (int r = 0; r < kPlaneRows; ++r) {
        for (int c = 0; c < kPlaneCols; ++c) {
            const uint8_t *p = r < kPictureRows && c < kPictureCols ? &rgb[(size_t(r) * kPictureCols + size_t(c)) * 3] : nullptr;
            (*coefficients)[r][c] = p ? int32_t(std::lround(0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2])) : 0;
        }
    }
    Plane8 analysed = n;
    analyze(analysed, *coefficients);

    ChannelEncoder encoder(*shape);
    auto squaredError = [&](const Plane32 &values) {
        double sum = 0;
        for (int r = 0; r < kPlaneRows; ++r) {
            for (int c = 0; c < kPlaneCols; ++c) {
                const double d = double((*coefficients)[r][c]) - values[r][c];
                sum += shape->r[r][c] == kMaskInside ? d * d : 0;
            }
        }
        return sum;
    };
    encoder.encode(*coefficients, length / 2, realBytes / 2);
    const double halfError = squaredError(encoder.check().planes.value);
    encoder.encode(*coefficients, length, realBytes);
    const ChannelCoding &coding = encoder.check();

    QCOMPARE(int(coding.stream.size()), length);
    QCOMPARE(int(coding.stream[1]), int(kStreamMarker));
    for (int i = realBytes; i < length; ++i)
        QCOMPARE(int(coding.stream[size_t(i)]), 0);
    auto decoded = std::make_unique<ChannelPlanes>();
    QCOMPARE(decodeChannel(coding.stream.data(), length, *shape, *decoded), int(WltSuccess));
    int reached = 0;
    for (int r = 0; r < kPlaneRows; ++r) {
        for (int c = 0; c < kPlaneCols; ++c) {
            const int32_t value = coding.planes.value[r][c];
            QCOMPARE(decoded->value[r][c], value);
            const int q = coding.precision[r][c];
            const int32_t truth = (*coefficients)[r][c];
            const int32_t known = q < 0 ? 0 : (std::abs(truth) >> q) << q;
            QCOMPARE(value, truth < 0 ? -known : known);
            reached += q >= 0;
        }
    }
    QVERIFY(reached > 0);
    QVERIFY2(squaredError(coding.planes.value) < halfError, "twice the bytes code no better");
}

void tst_WltCodec::fixtures_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("sha256");
    QTest::newRow("portrait") << "portrait.wlt" << QByteArray("7a907e9247f9357dc63fe10b0fe08076b5c006519bb42caa70f0a17de15686aa");
    QTest::newRow("disc") << "disc.wlt" << QByteArray("e9146ce1390a2e47e0006f46480a6b43c1bd84aea2395a7421b7730c17d61500");
    QTest::newRow("gradient") << "gradient.wlt" << QByteArray("1a8b3601010fbd1fe9bab4e26955b39ed4160ee727c00acd2d2d4fb4e564826a");
    QTest::newRow("flat") << "flat.wlt" << QByteArray("e8a5967577173d2ff02e2a9937fa8692dfaa95553f767ca708e5bd75430d0a8b");
    QTest::newRow("border") << "border.wlt" << QByteArray("230f006f28b79adcd9f3ba7b2c77ef1a182c68fffa0edd354286b48687273b1f");
}

void tst_WltCodec::fixtures()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, sha256);
    QFile f(QStringLiteral(DORVENT_SOURCE_DIR "/tests/wlt/fixtures/") + file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray block = f.readAll();
    QCOMPARE(block.size(), kWltBlockSize);
    QByteArray bmp;
    QCOMPARE(decode(block, bmp), int(WltSuccess));
    QVERIFY(!bmpPixels(bmp).empty());
    QCOMPARE(QCryptographicHash::hash(bmp, QCryptographicHash::Sha256).toHex(), sha256);
}

QTEST_MAIN(tst_WltCodec)
#include "tst_wltcodec.moc"
