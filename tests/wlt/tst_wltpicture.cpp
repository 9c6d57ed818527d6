// Picture assembly: colour conversion (every input against the double
// formula), background fill, smoothing next to the shape, the BMP file
// layout, and the one-pass writer against those steps.

#include <QRandomGenerator>
#include <QtTest>

#include <functional>
#include <memory>
#include <vector>

#include "wltpicture.h"
#include "wltvectors.h"

using namespace wlt;

class tst_WltPicture : public QObject {
    Q_OBJECT
private slots:
    void colourConversion_data();
    void colourConversion();
    void colourConversionEveryInput_data();
    void colourConversionEveryInput();
    void smoothingInScanOrder();
    void borderNeverSmoothed();
    void bmpLayout();
    void onePassMatchesSteps_data();
    void onePassMatchesSteps();

    void cleanup() { allowWideVectors(true); }
};

// The vector paths a row runs on: the baseline, and AVX2 where the processor
// has it; both must give the same bytes.
static void addPathRows(const QString &name, const std::function<void(QTestData &)> &fill)
{
    const bool hasWide = allowWideVectors(true);
    for (const bool wide : {false, true}) {
        if (wide && !hasWide)
            continue;
        QTestData &row = QTest::newRow(qPrintable(wide ? name + QStringLiteral(" (AVX2)") : name));
        row << wide;
        fill(row);
    }
}

void tst_WltPicture::colourConversion_data()
{
    QTest::addColumn<int>("y");
    QTest::addColumn<int>("cb");
    QTest::addColumn<int>("cr");
    QTest::addColumn<int>("r");
    QTest::addColumn<int>("g");
    QTest::addColumn<int>("b");
    QTest::newRow("grey") << 100 << 128 << 128 << 100 << 100 << 100;
    QTest::newRow("fractions truncated") << 100 << 128 << 228 << 240 << 28 << 100;
    QTest::newRow("negative red clamped") << 10 << 128 << 0 << 0 << 101 << 10;
    QTest::newRow("blue over 255 clamped") << 250 << 255 << 128 << 250 << 206 << 255;
    QTest::newRow("black") << 0 << 128 << 128 << 0 << 0 << 0;
    // 100 + 34.414 - 71.414 comes out just below 63 in double precision.
    QTest::newRow("green rounded below its exact value") << 100 << 28 << 228 << 240 << 62 << 0;
}

void tst_WltPicture::colourConversion()
{
    QFETCH(int, y);
    QFETCH(int, cb);
    QFETCH(int, cr);
    QFETCH(int, r);
    QFETCH(int, g);
    QFETCH(int, b);
    uint8_t yRow[kPictureCols], cbRow[kPictureCols], crRow[kPictureCols], out[kPictureCols * 3];
    std::fill_n(yRow, kPictureCols, uint8_t(y));
    std::fill_n(cbRow, kPictureCols, uint8_t(cb));
    std::fill_n(crRow, kPictureCols, uint8_t(cr));
    yccRowToRgb(yRow, cbRow, crRow, out);
    QCOMPARE(int(out[0]), r);
    QCOMPARE(int(out[1]), g);
    QCOMPARE(int(out[2]), b);
    QCOMPARE(int(out[3 * 101 + 2]), b);
}

namespace {

struct Rgb {
    uint8_t r, g, b;
};

// The conversion as first written, in double precision.
Rgb doubleConversion(int y, int cbByte, int crByte)
{
    auto clampByte = [](int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
    const double luma = y;
    const double cb = double(cbByte) - 128.0;
    const double cr = double(crByte) - 128.0;
    return Rgb{clampByte(int(luma + 1.402 * cr)), clampByte(int(luma - 0.34414 * cb - 0.71414 * cr)),
               clampByte(int(luma + 1.772 * cb))};
}

} // namespace

void tst_WltPicture::colourConversionEveryInput_data()
{
    QTest::addColumn<bool>("wide");
    addPathRows(QStringLiteral("every input"), [](QTestData &) {});
}

// Every (Y, Cb, Cr) through the row conversion and through the one-pass
// picture, whose shape covers everything so that only conversion shows.
void tst_WltPicture::colourConversionEveryInput()
{
    QFETCH(bool, wide);
    QCOMPARE(allowWideVectors(wide), wide);
    constexpr int kPixels = kPictureRows * kPictureCols;
    constexpr int kInputs = 1 << 24;
    auto yPlane = std::make_unique<Plane8>(), cbPlane = std::make_unique<Plane8>(),
         crPlane = std::make_unique<Plane8>(), n = std::make_unique<Plane8>();
    for (auto &row : *n)
        row.fill(1);
    std::vector<uint8_t> bmp(kBmpFileSize);
    uint8_t rowRgb[kPictureCols * 3];
    int mismatches = 0;
    for (int first = 0; first < kInputs; first += kPixels) {
        auto input = [first](int r, int c) { return (first + r * kPictureCols + c) % kInputs; };
        for (int r = 0; r < kPictureRows; ++r) {
            for (int c = 0; c < kPictureCols; ++c) {
                const int i = input(r, c);
                (*yPlane)[r][c] = uint8_t(i);
                (*cbPlane)[r][c] = uint8_t(i >> 8);
                (*crPlane)[r][c] = uint8_t(i >> 16);
            }
        }
        assembleBmp(*yPlane, *cbPlane, *crPlane, *n, Colour{}, bmp.data());
        for (int r = 0; r < kPictureRows; ++r) {
            yccRowToRgb((*yPlane)[r].data(), (*cbPlane)[r].data(), (*crPlane)[r].data(), rowRgb);
            const uint8_t *stored = &bmp[size_t(kBmpHeaderSize + (kPictureRows - 1 - r) * kBmpRowSize)];
            for (int c = 0; c < kPictureCols; ++c) {
                const int i = input(r, c);
                const Rgb want = doubleConversion(i & 0xFF, (i >> 8) & 0xFF, i >> 16);
                const uint8_t *row = rowRgb + 3 * c;
                const uint8_t *bgr = stored + 3 * c;
                if (row[0] != want.r || row[1] != want.g || row[2] != want.b || bgr[2] != want.r
                    || bgr[1] != want.g || bgr[0] != want.b) {
                    if (++mismatches <= 5)
                        qWarning("Y %d Cb %d Cr %d", i & 0xFF, (i >> 8) & 0xFF, i >> 16);
                }
            }
        }
    }
    QCOMPARE(mismatches, 0);
}

namespace {

// A grey shape pixel (200) on a background of (10, 20, 30).
void assembleWithShape(const Plane8 &n, Picture &picture)
{
    Plane8 yPlane{}, cbPlane{}, crPlane{};
    for (int r = 0; r < kPlaneRows; ++r) {
        for (int c = 0; c < kPlaneCols; ++c) {
            yPlane[r][c] = n[r][c] ? 200 : 0;
            cbPlane[r][c] = n[r][c] ? 128 : 0;
            crPlane[r][c] = n[r][c] ? 128 : 0;
        }
    }
    assemblePicture(yPlane, cbPlane, crPlane, n, Colour{10, 20, 30}, picture);
}

const uint8_t *at(const Picture &p, int row, int col) { return &p[size_t(row * kPictureCols + col) * 3]; }

} // namespace

// Background pixels next to the shape take the truncated mean of their 3 x 3
// block as it stands, so a pixel sees the new values of those before it.
void tst_WltPicture::smoothingInScanOrder()
{
    Plane8 n{};
    n[1][1] = 1;
    Picture p;
    assembleWithShape(n, p);
    QCOMPARE(int(at(p, 1, 1)[0]), 200);
    // (1, 2): the shape pixel and eight background ones.
    QCOMPARE(int(at(p, 1, 2)[0]), (200 + 8 * 10) / 9);
    QCOMPARE(int(at(p, 1, 2)[1]), (200 + 8 * 20) / 9);
    QCOMPARE(int(at(p, 1, 2)[2]), (200 + 8 * 30) / 9);
    // (2, 1) already sees (1, 2) smoothed: 10 + 200 + 31 + 6 x 10.
    QCOMPARE(int(at(p, 2, 1)[0]), 301 / 9);
    // (2, 2) sees (1, 2) and (2, 1): 200 + 31 + 10 + 33 + 5 x 10.
    QCOMPARE(int(at(p, 2, 2)[0]), 324 / 9);
    // Not next to the shape: plain background.
    QCOMPARE(int(at(p, 3, 3)[0]), 10);
    QCOMPARE(int(at(p, 1, 3)[2]), 30);
}

void tst_WltPicture::borderNeverSmoothed()
{
    Plane8 n{};
    n[0][0] = 1;
    n[0][50] = 1;
    n[125][101] = 1;
    n[60][0] = 1;
    n[60][101] = 1;
    Picture p;
    assembleWithShape(n, p);
    const int border[][2] = {{0, 1}, {0, 49}, {0, 51}, {1, 0}, {59, 0}, {61, 0}, {59, 101}, {61, 101},
                             {125, 100}, {124, 101}, {125, 0}, {0, 101}};
    for (const auto &rc : border) {
        const uint8_t *px = at(p, rc[0], rc[1]);
        QVERIFY2(px[0] == 10 && px[1] == 20 && px[2] == 30, qPrintable(QStringLiteral("%1,%2").arg(rc[0]).arg(rc[1])));
    }
    // Inside pixels next to the same shape pixels are smoothed.
    QVERIFY(at(p, 1, 1)[0] != 10);
    QVERIFY(at(p, 1, 50)[0] != 10);
    QVERIFY(at(p, 124, 100)[0] != 10);
}

void tst_WltPicture::bmpLayout()
{
    Picture p{};
    auto set = [&p](int row, int col, uint8_t r, uint8_t g, uint8_t b) {
        uint8_t *px = &p[size_t(row * kPictureCols + col) * 3];
        px[0] = r;
        px[1] = g;
        px[2] = b;
    };
    set(0, 0, 1, 2, 3);
    set(0, 101, 4, 5, 6);
    set(125, 0, 7, 8, 9);
    set(125, 101, 10, 11, 12);
    QByteArray bmp(kBmpFileSize, '\xee');
    writeBmp(p, reinterpret_cast<uint8_t *>(bmp.data()));
    const QByteArray header = QByteArray::fromHex("424d" "ce970000" "00000000" "36000000"
                                                  "28000000" "66000000" "7e000000" "0100" "1800")
                              + QByteArray(24, '\0');
    QCOMPARE(bmp.left(54).toHex(), header.toHex());
    QCOMPARE(kBmpFileSize, 38862);
    auto pixel = [&bmp](int storedRow, int col) { return bmp.mid(54 + storedRow * 308 + col * 3, 3).toHex(); };
    // Stored bottom-up, B G R.
    QCOMPARE(pixel(0, 0), QByteArray("090807"));
    QCOMPARE(pixel(0, 101), QByteArray("0c0b0a"));
    QCOMPARE(pixel(125, 0), QByteArray("030201"));
    QCOMPARE(pixel(125, 101), QByteArray("060504"));
    for (int row = 0; row < 126; ++row)
        QCOMPARE(bmp.mid(54 + row * 308 + 306, 2), QByteArray(2, '\0'));
}

Q_DECLARE_METATYPE(std::shared_ptr<Plane8>)

void tst_WltPicture::onePassMatchesSteps_data()
{
    QTest::addColumn<bool>("wide");
    QTest::addColumn<std::shared_ptr<Plane8>>("n");
    auto shape = [](auto inside) {
        auto n = std::make_shared<Plane8>();
        for (int r = 0; r < kPlaneRows; ++r) {
            for (int c = 0; c < kPlaneCols; ++c)
                (*n)[r][c] = inside(r, c);
        }
        return n;
    };
    auto add = [](const char *name, const std::shared_ptr<Plane8> &n) {
        addPathRows(QLatin1String(name), [&n](QTestData &row) { row << n; });
    };
    QRandomGenerator random(7);
    add("no shape", shape([](int, int) { return 0; }));
    add("whole picture", shape([](int, int) { return 1; }));
    add("disc", shape([](int r, int c) { return (r - 70) * (r - 70) + (c - 50) * (c - 50) < 1600; }));
    add("bust touching the borders",
        shape([](int r, int c) { return r > 40 && (r > 100 || (c > 20 && c < 81)) ? 1 : 0; }));
    add("checkerboard", shape([](int r, int c) { return (r + c) & 1; }));
    add("sparse noise", shape([&random](int, int) { return random.bounded(10) == 0; }));
    add("dense noise, any nonzero byte",
        shape([&random](int, int) { return random.bounded(4) == 0 ? 0 : int(random.bounded(1, 256)); }));
    add("shape only outside the picture", shape([](int r, int c) { return r >= kPictureRows || c >= kPictureCols; }));
    add("single pixels at the edges of words and blocks", shape([](int r, int c) {
        return (r == 10 && c == 63) || (r == 20 && c == 64) || (r == 30 && (c == 0 || c == 101))
               || (r == 40 && (c == 15 || c == 32));
    }));
}

// The one-pass writer gives the bytes of the picture assembled step by step
// and laid out as a BMP, whatever the shape and the colours.
void tst_WltPicture::onePassMatchesSteps()
{
    QFETCH(bool, wide);
    QFETCH(std::shared_ptr<Plane8>, n);
    QCOMPARE(allowWideVectors(wide), wide);
    QRandomGenerator random(11);
    Plane8 planes[3];
    for (Plane8 &plane : planes) {
        for (auto &row : plane) {
            for (uint8_t &v : row)
                v = uint8_t(random.bounded(256));
        }
    }
    for (const Colour fixNum : {Colour{255, 255, 255}, Colour{0, 0, 0}, Colour{17, 200, 93}}) {
        Picture picture;
        assemblePicture(planes[0], planes[1], planes[2], *n, fixNum, picture);
        std::vector<uint8_t> steps(kBmpFileSize), onePass(kBmpFileSize, 0xEE);
        writeBmp(picture, steps.data());
        assembleBmp(planes[0], planes[1], planes[2], *n, fixNum, onePass.data());
        QVERIFY(steps == onePass);
    }
}

QTEST_APPLESS_MAIN(tst_WltPicture)
#include "tst_wltpicture.moc"
