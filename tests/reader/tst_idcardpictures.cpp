// The pictures of the card's two faces: where every text goes and in which
// font, the date and address rules, the photo's transparency, the files.
#include "idcardpictures.h"
#include "luvarocard.h"

#include <QBuffer>
#include <QFontInfo>
#include <QPaintEngine>
#include <QPainter>
#include <QPixmap>
#include <QRawFont>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// A paint device that records what is drawn on it instead of rasterising.
struct DrawnText
{
    QString text;
    QPoint origin;
    QString family;
    int pointSize;
    int weight;
    qreal spacing;
    QColor colour;
};

struct DrawnImage
{
    QRect target;
    QImage image;
};

class RecordingEngine : public QPaintEngine
{
public:
    RecordingEngine() : QPaintEngine(QPaintEngine::AllFeatures) {}
    bool begin(QPaintDevice *) override { return true; }
    bool end() override { return true; }
    Type type() const override { return QPaintEngine::User; }
    void updateState(const QPaintEngineState &state) override
    {
        if (state.state() & QPaintEngine::DirtyPen)
            m_pen = state.pen();
    }
    void drawTextItem(const QPointF &p, const QTextItem &item) override
    {
        const QFont font = item.font();
        texts.append({item.text(), p.toPoint(), font.family(), font.pointSize(), font.weight(),
                      font.letterSpacing(), m_pen.color()});
        QVERIFY(font.letterSpacingType() == QFont::AbsoluteSpacing);
        QVERIFY(!font.italic());
    }
    void drawPixmap(const QRectF &r, const QPixmap &pm, const QRectF &) override
    {
        images.append({r.toRect(), pm.toImage()});
    }
    void drawImage(const QRectF &r, const QImage &image, const QRectF &, Qt::ImageConversionFlags) override
    {
        images.append({r.toRect(), image});
    }

    QList<DrawnText> texts;
    QList<DrawnImage> images;

private:
    QPen m_pen;
};

class RecordingDevice : public QPaintDevice
{
public:
    RecordingDevice(int width, int height) : m_width(width), m_height(height) {}
    ~RecordingDevice() override = default;
    QPaintEngine *paintEngine() const override { return &m_engine; }
    RecordingEngine &engine() { return m_engine; }

protected:
    int metric(PaintDeviceMetric metric) const override
    {
        switch (metric) {
        case PdmWidth: return m_width;
        case PdmHeight: return m_height;
        case PdmWidthMM: return m_width * 254 / 960;
        case PdmHeightMM: return m_height * 254 / 960;
        case PdmDpiX:
        case PdmDpiY:
        case PdmPhysicalDpiX:
        case PdmPhysicalDpiY: return 96;
        case PdmDepth: return 32;
        case PdmNumColors: return INT_MAX;
        case PdmDevicePixelRatio: return 1;
        case PdmDevicePixelRatioScaled: return int(QPaintDevice::devicePixelRatioFScale());
        }
        return 0;
    }

private:
    int m_width;
    int m_height;
    mutable RecordingEngine m_engine;
};

void setText(char *field, std::size_t size, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    QVERIFY(std::size_t(utf8.size()) < size);
    std::memcpy(field, utf8.constData(), utf8.size() + 1);
}

IDINFO sampleRecord(const QString &address = QStringLiteral("北京市东城区景山前街4号故宫博物院"))
{
    IDINFO record;
    std::memset(&record, 0, sizeof record);
    setText(record.name, sizeof record.name, QStringLiteral("张三"));
    setText(record.sex, sizeof record.sex, QStringLiteral("男"));
    setText(record.nation, sizeof record.nation, QStringLiteral("汉"));
    setText(record.birth, sizeof record.birth, QStringLiteral("19900105"));
    setText(record.address, sizeof record.address, address);
    setText(record.idNumber, sizeof record.idNumber, QStringLiteral("11010119900105001X"));
    setText(record.authority, sizeof record.authority, QStringLiteral("北京市公安局东城分局"));
    setText(record.validFrom, sizeof record.validFrom, QStringLiteral("20200101"));
    setText(record.validTo, sizeof record.validTo, QStringLiteral("20400101"));
    return record;
}

// A 102 × 126 photo: white background, a dark square for the person.
QImage samplePhoto()
{
    QImage photo(102, 126, QImage::Format_RGB32);
    photo.fill(Qt::white);
    QPainter(&photo).fillRect(31, 33, 40, 60, QColor(90, 60, 40));
    return photo;
}

// A plain white template of the real one's size.
bool saveTemplate(const QString &path)
{
    QImage templ(1070, 681, QImage::Format_RGB32);
    templ.fill(Qt::white);
    return templ.save(path, "JPEG");
}

bool writeBmp(const QString &path, const QImage &image)
{
    return image.save(path, "BMP");
}

int darkPixels(const QImage &image, const QRect &r)
{
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            n += qGray(image.pixel(x, y)) < 60;
    return n;
}

} // namespace

class tst_IdCardPictures : public QObject
{
    Q_OBJECT
public:
    // Our fontconfig aliases, as installed, before the application starts.
    static void initMain()
    {
        static QTemporaryDir dir;
        const QString conf = dir.filePath(QStringLiteral("fonts.conf"));
        QFile file(conf);
        file.open(QIODevice::WriteOnly);
        file.write("<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"fonts.dtd\">\n<fontconfig>\n"
                   "  <include ignore_missing=\"yes\">/etc/fonts/fonts.conf</include>\n"
                   "  <include>" DORVENT_SOURCE_DIR "/packaging/fonts/30-dorvent-aliases.conf</include>\n"
                   "</fontconfig>\n");
        file.close();
        qputenv("FONTCONFIG_FILE", QFile::encodeName(conf));
    }

private slots:
    void birth_data();
    void birth();
    void address_data();
    void address();
    void validity_data();
    void validity();
    void frontLayout();
    void frontScalesWithTemplate();
    void backLayout();
    void photoWhiteBecomesTransparent();
    void frontPixels();
    void templateFiles();
    void plantedTemplateIsNotOpened_data();
    void plantedTemplateIsNotOpened();
    void noTemplateStillPreparesPhoto();
    void aliasedFontsHaveChineseGlyphs_data();
    void aliasedFontsHaveChineseGlyphs();
};

void tst_IdCardPictures::birth_data()
{
    QTest::addColumn<QString>("birth");
    QTest::addColumn<QString>("year");
    QTest::addColumn<QString>("month");
    QTest::addColumn<QString>("day");
    QTest::newRow("leading zeros dropped") << "19900105" << "1990" << "1" << "5";
    QTest::newRow("two digits kept") << "19901231" << "1990" << "12" << "31";
    QTest::newRow("2000-01-01") << "20000101" << "2000" << "1" << "1";
    QTest::newRow("month 10, day 20") << "19801020" << "1980" << "10" << "20";
    QTest::newRow("short") << "1990" << "1990" << "" << "";
    QTest::newRow("empty") << "" << "" << "" << "";
}

void tst_IdCardPictures::birth()
{
    QFETCH(QString, birth);
    const idcardpictures::BirthParts parts = idcardpictures::splitBirth(birth);
    QTEST(parts.year, "year");
    QTEST(parts.month, "month");
    QTEST(parts.day, "day");
}

void tst_IdCardPictures::address_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QStringList>("lines");
    const QString a11 = QStringLiteral("北京市东城区景山前街4");
    const QString b11 = QStringLiteral("号故宫博物院东华门内侧");
    QTest::newRow("short") << QStringLiteral("北京市") << QStringList{QStringLiteral("北京市"), "", ""};
    QTest::newRow("11 on one line") << a11 << QStringList{a11, "", ""};
    QTest::newRow("12 on two") << a11 + "X" << QStringList{a11, "X", ""};
    QTest::newRow("22 on two") << a11 + b11 << QStringList{a11, b11, ""};
    QTest::newRow("23 on three") << a11 + b11 + "Y" << QStringList{a11, b11, "Y"};
    QTest::newRow("line 3 never cut") << a11 + b11 + QString(40, 'Z') << QStringList{a11, b11, QString(40, 'Z')};
    // A character outside the BMP counts once and is never split.
    const QString wide = QString::fromUcs4(U"𠀀");
    QTest::newRow("wide characters") << QString(10, 'A') + wide + "B"
                                     << QStringList{QString(10, 'A') + wide, "B", ""};
}

void tst_IdCardPictures::address()
{
    QFETCH(QString, address);
    QTEST(idcardpictures::splitAddress(address), "lines");
}

void tst_IdCardPictures::validity_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to");
    QTest::addColumn<QString>("term");
    QTest::newRow("eight digits") << "20200101" << "20400101" << "2020.01.01-2040.01.01";
    QTest::newRow("unlimited") << "20200101" << QStringLiteral("长期") << QStringLiteral("2020.01.01-长期  .  .");
    QTest::newRow("both empty") << "" << "" << "    .  .-      .  .";
}

void tst_IdCardPictures::validity()
{
    QFETCH(QString, from);
    QFETCH(QString, to);
    QTEST(idcardpictures::validityTerm(from, to), "term");
}

namespace {

struct Expected
{
    const char *text;
    int x, y;
    const char *family;
    int pointSize;
    int weight;
    int spacing;
    bool blue;
};

void compareTexts(const QList<DrawnText> &drawn, const QVector<Expected> &expected)
{
    QCOMPARE(drawn.size(), expected.size());
    const QColor blue(57, 182, 232);
    for (int i = 0; i < expected.size(); ++i) {
        const DrawnText &d = drawn.at(i);
        const Expected &e = expected.at(i);
        const QString where = QStringLiteral("item %1 (%2)").arg(i).arg(d.text);
        QVERIFY2(d.text == QString::fromUtf8(e.text), qPrintable(where));
        QVERIFY2(d.origin == QPoint(e.x, e.y),
                 qPrintable(where + QStringLiteral(" at %1,%2").arg(d.origin.x()).arg(d.origin.y())));
        QVERIFY2(d.family == QLatin1String(e.family), qPrintable(where));
        QVERIFY2(d.pointSize == e.pointSize, qPrintable(where));
        QVERIFY2(d.weight == e.weight, qPrintable(where));
        QVERIFY2(qFuzzyCompare(d.spacing + 1, qreal(e.spacing) + 1), qPrintable(where));
        QVERIFY2(d.colour == (e.blue ? blue : QColor(Qt::black)), qPrintable(where));
    }
}

QVector<Expected> frontAt1070x681()
{
    // Columns 85, 140, 215, ...; rows 87 + 48 = 135, 175 + 48, 260 + 45/48, 353 + 39/99/159, 543 + 60.
    return {
        {"姓", 85, 135, "SimHei", 25, 0, 10, true},
        {"名", 140, 135, "SimHei", 25, 0, 10, true},
        {"性", 85, 223, "SimHei", 25, 0, 10, true},
        {"别", 140, 223, "SimHei", 25, 0, 10, true},
        {"民", 320, 223, "SimHei", 25, 0, 10, true},
        {"族", 382, 223, "SimHei", 25, 0, 10, true},
        {"出", 85, 305, "SimHei", 25, 0, 10, true},
        {"生", 140, 305, "SimHei", 25, 0, 10, true},
        {"年", 320, 305, "SimHei", 25, 0, 10, true},
        {"月", 421, 305, "SimHei", 25, 0, 10, true},
        {"日", 525, 305, "SimHei", 25, 0, 10, true},
        {"住", 85, 392, "SimHei", 25, 0, 10, true},
        {"址", 140, 392, "SimHei", 25, 0, 10, true},
        {"公民身份号码", 85, 603, "SimHei", 27, 0, 0, true},
        {"张三", 215, 135, "SimHei", 31, 0, 0, false},
        {"男", 215, 223, "SimHei", 27, 0, 0, false},
        {"汉", 425, 223, "SimHei", 27, 0, 0, false},
        {"1990", 215, 308, "Tahoma", 27, 0, 0, false},
        {"1", 365, 308, "Tahoma", 27, 0, 0, false},
        {"5", 470, 308, "Tahoma", 27, 0, 0, false},
        {"北京市东城区景山前街4", 215, 392, "SimHei", 27, 0, 0, false},
        {"号故宫博物院", 215, 452, "SimHei", 27, 0, 0, false},
        {"11010119900105001X", 381, 603, "SimHei", 37, 0, 4, false},
    };
}

} // namespace

void tst_IdCardPictures::frontLayout()
{
    QTemporaryDir dir;
    const QByteArray photoPath = QFile::encodeName(dir.filePath(QStringLiteral("photo.bmp")));
    QVERIFY(writeBmp(QFile::decodeName(photoPath), samplePhoto()));

    RecordingDevice device(1070, 681);
    idcardpictures::drawFront(device, sampleRecord(), photoPath.constData());
    compareTexts(device.engine().texts, frontAt1070x681());

    QCOMPARE(device.engine().images.size(), 1);
    QCOMPARE(device.engine().images.at(0).target, QRect(672, 100, 307, 378));
    // The prepared photo replaced the decoded one.
    QCOMPARE(QImage(QFile::decodeName(photoPath)).size(), QSize(307, 378));
}

void tst_IdCardPictures::frontScalesWithTemplate()
{
    // Twice the template: positions double, offsets and fonts do not.
    RecordingDevice device(2140, 1362);
    idcardpictures::drawFront(device, sampleRecord(QStringLiteral("北京市")), "/nonexistent/photo.bmp");
    const QList<DrawnText> &texts = device.engine().texts;
    QCOMPARE(texts.size(), 22); // one address line, no photo
    QCOMPARE(texts.at(0).origin, QPoint(170, 175 + 48));  // 姓: 1362 × 0.1285… = 175
    QCOMPARE(texts.at(14).origin, QPoint(430, 175 + 48)); // the name
    QCOMPARE(texts.at(14).pointSize, 31);
    QCOMPARE(texts.at(21).origin, QPoint(762, 1087 + 60)); // the number
    QVERIFY(device.engine().images.isEmpty());
}

void tst_IdCardPictures::backLayout()
{
    IDINFO record = sampleRecord();
    RecordingDevice device(1070, 681);
    idcardpictures::drawBack(device, record);
    compareTexts(device.engine().texts,
                 {
                     {"中华人民共和国", 357, 134, "SimSun", 55, 75, 4, false},
                     {"居民身份证", 330, 268, "SimSun", 68, 75, 32, false},
                     {"签发机关", 247, 521, "SimHei", 24, 75, 0, false},
                     {"有效期限", 247, 608, "SimHei", 24, 75, 0, false},
                     {"北京市公安局东城分局", 437, 521, "SimHei", 26, 50, 2, false},
                     {"2020.01.01-2040.01.01", 437, 608, "SimHei", 26, 5, 1, false},
                 });
}

void tst_IdCardPictures::photoWhiteBecomesTransparent()
{
    QImage photo(2, 2, QImage::Format_RGB32);
    photo.setPixel(0, 0, qRgb(241, 241, 241)); // near-white: transparent
    photo.setPixel(1, 0, qRgb(240, 255, 255)); // one value not above 240: kept
    photo.setPixel(0, 1, qRgb(255, 255, 255));
    photo.setPixel(1, 1, qRgb(10, 20, 30));
    const QImage prepared = idcardpictures::preparePhoto(photo);
    QCOMPARE(prepared.size(), QSize(307, 378));
    QCOMPARE(prepared.format(), QImage::Format_RGBA8888_Premultiplied);
    QCOMPARE(qAlpha(prepared.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(prepared.pixel(306, 0)), 255);
    QCOMPARE(QColor(prepared.pixel(306, 377)), QColor(10, 20, 30));
    QCOMPARE(qAlpha(prepared.pixel(0, 377)), 0);
}

void tst_IdCardPictures::frontPixels()
{
    QTemporaryDir dir;
    const QString photoPath = dir.filePath(QStringLiteral("photo.bmp"));
    QVERIFY(writeBmp(photoPath, samplePhoto()));
    const QColor templateBlue(200, 220, 255);
    QPixmap pixmap(1070, 681);
    pixmap.fill(templateBlue);
    idcardpictures::drawFront(pixmap, sampleRecord(), QFile::encodeName(photoPath).constData());
    const QImage image = pixmap.toImage();

    // The photo's white background lets the template through; the person does not.
    QCOMPARE(image.pixelColor(672 + 5, 100 + 5), templateBlue);
    QCOMPARE(image.pixelColor(672 + 150, 100 + 190), QColor(90, 60, 40));
    // The name is drawn in black above its base line at y = 135, starting near x = 215.
    QVERIFY(darkPixels(image, QRect(215, 95, 90, 41)) > 100);
    QCOMPARE(darkPixels(image, QRect(150, 95, 60, 41)), 0);  // nothing left of the data column
    QCOMPARE(darkPixels(image, QRect(215, 145, 90, 30)), 0); // nothing well below the base line
}

void tst_IdCardPictures::templateFiles()
{
    QTemporaryDir dir;
    const QByteArray templatePath = QFile::encodeName(dir.filePath(QStringLiteral("front.jpg")));
    const QByteArray outputPath = QFile::encodeName(dir.filePath(QStringLiteral("frontNew.jpg")));
    const QByteArray missing = QFile::encodeName(dir.filePath(QStringLiteral("missing.jpg")));
    QVERIFY(saveTemplate(QFile::decodeName(templatePath)));

    luvaroCard card;
    const IDINFO record = sampleRecord();
    card.addMaskByPathBack(templatePath.constData(), outputPath.constData(), record);
    QImage composed(QFile::decodeName(outputPath), "JPEG");
    QCOMPARE(composed.size(), QSize(1070, 681));
    QVERIFY(darkPixels(composed, QRect(330, 180, 400, 90)) > 1000); // 居民身份证 drawn
    struct stat st;
    QCOMPARE(::stat(outputPath.constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), 0600); // the holder's data: ours alone

    // No template: the output is still created, and empty.
    card.addMaskByPathBack(missing.constData(), outputPath.constData(), record);
    QCOMPARE(QFileInfo(QFile::decodeName(outputPath)).size(), 0);

    // An output path that is a link is not written through.
    const QString victim = dir.filePath(QStringLiteral("victim"));
    QFile(victim).open(QIODevice::WriteOnly);
    const QByteArray link = QFile::encodeName(dir.filePath(QStringLiteral("link.jpg")));
    QVERIFY(QFile::link(victim, QFile::decodeName(link)));
    card.addMaskByPathBack(templatePath.constData(), link.constData(), record);
    QCOMPARE(QFileInfo(victim).size(), 0);
}

void tst_IdCardPictures::plantedTemplateIsNotOpened_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("FIFO") << "fifo";
    QTest::newRow("link to a real template") << "link";
    QTest::newRow("device") << "device";
}

// Whatever stands at a template's path other than a regular file is taken as
// no template: never read through, never waited on.
void tst_IdCardPictures::plantedTemplateIsNotOpened()
{
    QFETCH(QString, kind);
    QTemporaryDir dir;
    const QString real = dir.filePath(QStringLiteral("real.jpg"));
    QVERIFY(saveTemplate(real));
    QByteArray planted = QFile::encodeName(dir.filePath(QStringLiteral("back.jpg")));
    if (kind == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(planted.constData(), 0600), 0);
    else if (kind == QLatin1String("link"))
        QVERIFY(QFile::link(real, QFile::decodeName(planted)));
    else
        planted = "/dev/zero";
    const QByteArray outputPath = QFile::encodeName(dir.filePath(QStringLiteral("backNew.jpg")));

    // A reader stuck opening the FIFO is released after a while, and counted.
    std::atomic<bool> done{false}, released{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 300 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (done || kind != QLatin1String("fifo"))
            return;
        const int fd = ::open(planted.constData(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
            released = true;
            ::close(fd);
        }
    });
    luvaroCard card;
    card.addMaskByPathBack(planted.constData(), outputPath.constData(), sampleRecord());
    done = true;
    watchdog.join();

    QVERIFY(!released);
    QCOMPARE(QFileInfo(QFile::decodeName(outputPath)).size(), 0); // as with no template
}

void tst_IdCardPictures::noTemplateStillPreparesPhoto()
{
    QTemporaryDir dir;
    const QString photoPath = dir.filePath(QStringLiteral("photo.bmp"));
    QVERIFY(writeBmp(photoPath, samplePhoto()));
    QPixmap none;
    idcardpictures::drawFront(none, sampleRecord(), QFile::encodeName(photoPath).constData());
    QVERIFY(none.isNull());
    QCOMPARE(QImage(photoPath).size(), QSize(307, 378));
}

void tst_IdCardPictures::aliasedFontsHaveChineseGlyphs_data()
{
    QTest::addColumn<QString>("family");
    QTest::newRow("SimHei") << "SimHei";
    QTest::newRow("SimSun") << "SimSun";
    QTest::newRow("Tahoma") << "Tahoma";
}

void tst_IdCardPictures::aliasedFontsHaveChineseGlyphs()
{
    QFETCH(QString, family);
    const QRawFont raw = QRawFont::fromFont(QFont(family, 27));
    QVERIFY(raw.isValid());
    if (family == QLatin1String("Tahoma")) {
        QVERIFY(raw.supportsCharacter(QLatin1Char('7')));
        return;
    }
    QVERIFY2(raw.supportsCharacter(QChar(0x59D3)), qPrintable(raw.familyName())); // 姓
    QVERIFY2(raw.supportsCharacter(QChar(0x5C45)), qPrintable(raw.familyName())); // 居
}

QTEST_MAIN(tst_IdCardPictures)
#include "tst_idcardpictures.moc"
