// Pictures of the identity card's two faces, drawn over the installed
// templates. Every position is a fraction of the template's width W or
// height H (truncated to an integer), sometimes plus a fixed pixel offset, so
// a larger template scales the layout but not the offsets or the fonts.
#include "luvarocard.h"

#include "idcardpictures.h"
#include "ownfile.h"

#include <QBuffer>
#include <QColor>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QPainter>
#include <QPixmap>
#include <QTextCodec>

#include <cstring>

namespace idcardpictures {

const char kFrontTemplate[] = "/opt/apps/cn.luvaro.dorvent/bin/front.jpg";
const char kFrontOutput[] = "/opt/apps/cn.luvaro.dorvent/bin/frontNew.jpg";
const char kBackTemplate[] = "/opt/apps/cn.luvaro.dorvent/bin/back.jpg";
const char kBackOutput[] = "/opt/apps/cn.luvaro.dorvent/bin/backNew.jpg";
const char kPhotoBitmap[] = "/tmp/idCard.bmp";
const char kPhotoJpeg[] = "/tmp/idCard.jpg";

namespace {

const QColor kLabelBlue(57, 182, 232);
const QColor kDataBlack(0, 0, 0);

// Columns, as fractions of W.
constexpr double kLabelColumn1 = 0.07943925233644861;
constexpr double kLabelColumn2 = 0.1308411214953271;
constexpr double kNationLabel1 = 0.2990654205607477;
constexpr double kNationLabel2 = 0.35747663551401876;
constexpr double kMonthLabel = 0.3936915887850468;
constexpr double kDayLabel = 0.4906542056074767;
constexpr double kDataColumn = 0.20093457943925233;
constexpr double kNationData = 0.39719626168224303;
constexpr double kMonthData = 0.34112149532710284;
constexpr double kDayData = 0.4392523364485982;
constexpr double kIdNumberColumn = 0.35630841121495327;
constexpr double kPhotoColumn = 0.6285046728971962;

// Rows, as fractions of H (a pixel offset is added to each).
constexpr double kNameRow = 0.12851110703139343;
constexpr double kSexRow = 0.25702221406278686;
constexpr double kBirthRow = 0.38186157517899766;
constexpr double kAddressRow = 0.5195520469983478;
constexpr double kIdNumberRow = 0.7986047365522306;
constexpr double kPhotoRow = 0.14686983660730676;

constexpr int kPhotoWidth = 307;
constexpr int kPhotoHeight = 378;
constexpr int kAddressLineChars = 11;

struct FontStyle
{
    const char *family;
    int pointSize;
    int weight;  // the constructor's 0, or the weight set afterwards
    int spacing; // absolute letter spacing in pixels
};

constexpr FontStyle kLabelFont{"SimHei", 25, 0, 10};
constexpr FontStyle kIdLabelFont{"SimHei", 27, 0, 0};
constexpr FontStyle kNameFont{"SimHei", 31, 0, 0};
constexpr FontStyle kDataFont{"SimHei", 27, 0, 0};
constexpr FontStyle kDateFont{"Tahoma", 27, 0, 0};
constexpr FontStyle kIdNumberFont{"SimHei", 37, 0, 4};

struct Cell
{
    double kx;
    double ky;
    int dy;
};

struct Label
{
    const char *text;
    Cell at;
};

// The front's fixed labels, in drawing order, all in kLabelFont.
const Label kFrontLabels[] = {
    {"姓", {kLabelColumn1, kNameRow, 48}},
    {"名", {kLabelColumn2, kNameRow, 48}},
    {"性", {kLabelColumn1, kSexRow, 48}},
    {"别", {kLabelColumn2, kSexRow, 48}},
    {"民", {kNationLabel1, kSexRow, 48}},
    {"族", {kNationLabel2, kSexRow, 48}},
    {"出", {kLabelColumn1, kBirthRow, 45}},
    {"生", {kLabelColumn2, kBirthRow, 45}},
    {"年", {kNationLabel1, kBirthRow, 45}},
    {"月", {kMonthLabel, kBirthRow, 45}},
    {"日", {kDayLabel, kBirthRow, 45}},
    {"住", {kLabelColumn1, kAddressRow, 39}},
    {"址", {kLabelColumn2, kAddressRow, 39}},
};

struct BackText
{
    const char *text; // null: filled from the record
    FontStyle font;
    Cell at;
};

constexpr double kAuthorityColumn = 0.4088785046728972;
constexpr double kAuthorityRow = 0.7068110886726638;
constexpr double kTermRow = 0.8353221957040573;

const BackText kBackTexts[] = {
    {"中华人民共和国", {"SimSun", 55, 75, 4}, {0.33411214953271035, 0.10280888562511474, 64}},
    {"居民身份证", {"SimSun", 68, 75, 32}, {0.308411214953271, 0.27905268955388285, 78}},
    {"签发机关", {"SimHei", 24, 75, 0}, {0.2313084112149533, kAuthorityRow, 40}},
    {"有效期限", {"SimHei", 24, 75, 0}, {0.2313084112149533, kTermRow, 40}},
};
constexpr FontStyle kAuthorityFont{"SimHei", 26, 50, 2};
constexpr FontStyle kTermFont{"SimHei", 26, 5, 1};

QFont makeFont(const FontStyle &style)
{
    QFont font(QString::fromLatin1(style.family), style.pointSize, 0, false);
    if (style.weight != 0)
        font.setWeight(style.weight);
    font.setLetterSpacing(QFont::AbsoluteSpacing, style.spacing);
    return font;
}

// Truncated toward zero, not rounded: rounding would move some texts one
// pixel off the layout's positions.
int scaled(int size, double k) { return static_cast<int>(size * k); }

QPoint at(const QPaintDevice &device, const Cell &cell)
{
    return QPoint(scaled(device.width(), cell.kx), scaled(device.height(), cell.ky) + cell.dy);
}

void drawText(QPainter &painter, const FontStyle &font, const QColor &colour, const QPoint &origin,
              const QString &text)
{
    painter.setFont(makeFont(font));
    painter.setPen(colour);
    painter.drawText(origin, text);
}

template <std::size_t N>
QString fieldText(const char (&field)[N])
{
    return QString::fromUtf8(field, static_cast<int>(strnlen(field, N)));
}

// Kept for the pages and tools written against this service: from the first
// picture on, the process's local 8-bit encoding is GB2312.
void useGb2312Locale()
{
    if (QTextCodec *codec = QTextCodec::codecForName("GB2312"))
        QTextCodec::setCodecForLocale(codec);
}

void drawPhoto(QPainter &painter, const QPoint &origin, const char *photoPath)
{
    const QImage photo = QImage::fromData(ownfile::read(photoPath));
    if (photo.isNull())
        return;
    const QImage prepared = preparePhoto(photo);
    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    const QByteArray format = QFileInfo(QFile::decodeName(photoPath)).suffix().toLatin1();
    if (prepared.save(&buffer, format.constData()))
        ownfile::write(photoPath, encoded);
    if (painter.isActive())
        painter.drawImage(origin, prepared);
}

// A null pixmap (no template) takes no painter: nothing is drawn on it.
bool beginPainting(QPainter &painter, QPaintDevice &device)
{
    return device.width() > 0 && device.height() > 0 && painter.begin(&device);
}

// A planted FIFO, device or link in place of a template would hang or
// redirect the read: only a regular file is taken; otherwise no template.
QPixmap loadTemplate(const char *templatePath)
{
    QPixmap pixmap;
    const QByteArray bytes = ownfile::readInstalled(templatePath);
    if (!bytes.isEmpty())
        pixmap.loadFromData(bytes);
    return pixmap;
}

void saveJpeg(const QPixmap &pixmap, const char *outputPath)
{
    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    if (!pixmap.isNull())
        pixmap.save(&buffer, "JPEG");
    // Created or truncated even when there is no picture to put in it. It
    // shows the holder's data: like the photo files, ours alone.
    ownfile::write(outputPath, encoded);
}

} // namespace

BirthParts splitBirth(const QString &birth)
{
    BirthParts parts;
    parts.year = birth.left(4);
    parts.month = (birth.size() > 4 && birth.at(4) == QLatin1Char('0')) ? birth.mid(5, 1) : birth.mid(4, 2);
    parts.day = (birth.size() > 6 && birth.at(6) == QLatin1Char('0')) ? birth.mid(7, 1) : birth.mid(6, 2);
    return parts;
}

QStringList splitAddress(const QString &address)
{
    // Counted in characters, so a character outside the BMP is never split.
    const QVector<uint> chars = address.toUcs4();
    auto part = [&](int from, int count) {
        if (from >= chars.size())
            return QString();
        return QString::fromUcs4(chars.constData() + from, qMin(count, chars.size() - from));
    };
    const int n = chars.size();
    QStringList lines{part(0, kAddressLineChars), QString(), QString()};
    if (n > 2 * kAddressLineChars) {
        lines[1] = part(kAddressLineChars, kAddressLineChars);
        lines[2] = part(2 * kAddressLineChars, n);
    } else if (n > kAddressLineChars) {
        lines[1] = part(kAddressLineChars, n);
    }
    return lines;
}

QString validityTerm(const QString &validFrom, const QString &validTo)
{
    // An insertion past the end pads with spaces up to it first.
    auto insertDot = [](QString &text, int position) {
        if (text.size() < position)
            text.append(QString(position - text.size(), QLatin1Char(' ')));
        text.insert(position, QLatin1Char('.'));
    };
    QString term = validFrom;
    insertDot(term, 4);
    insertDot(term, 7);
    term += QLatin1Char('-') + validTo;
    insertDot(term, 15);
    insertDot(term, 18);
    return term;
}

QImage preparePhoto(const QImage &photo)
{
    QImage image = photo.convertToFormat(QImage::Format_RGBA8888_Premultiplied);
    // Near-white becomes transparent so the template shows around the person.
    for (int x = 0; x < image.width(); ++x) {
        for (int y = 0; y < image.height(); ++y) {
            uchar *pixel = image.scanLine(y) + 4 * x;
            if (pixel[0] > 240 && pixel[1] > 240 && pixel[2] > 240)
                pixel[3] = 0;
        }
    }
    return image.scaled(kPhotoWidth, kPhotoHeight, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

void drawFront(QPaintDevice &device, const IDINFO &record, const char *photoPath)
{
    useGb2312Locale();
    QPainter painter;
    if (!beginPainting(painter, device)) {
        // The photo is still prepared, as it would have been for the picture.
        drawPhoto(painter, QPoint(), photoPath);
        return;
    }

    for (const Label &label : kFrontLabels)
        drawText(painter, kLabelFont, kLabelBlue, at(device, label.at), QString::fromUtf8(label.text));
    const Cell idRow{kLabelColumn1, kIdNumberRow, 60};
    drawText(painter, kIdLabelFont, kLabelBlue, at(device, idRow), QStringLiteral("公民身份号码"));

    drawText(painter, kNameFont, kDataBlack, at(device, {kDataColumn, kNameRow, 48}), fieldText(record.name));
    drawText(painter, kDataFont, kDataBlack, at(device, {kDataColumn, kSexRow, 48}), fieldText(record.sex));
    drawText(painter, kDataFont, kDataBlack, at(device, {kNationData, kSexRow, 48}), fieldText(record.nation));

    const BirthParts birth = splitBirth(fieldText(record.birth));
    drawText(painter, kDateFont, kDataBlack, at(device, {kDataColumn, kBirthRow, 48}), birth.year);
    drawText(painter, kDateFont, kDataBlack, at(device, {kMonthData, kBirthRow, 48}), birth.month);
    drawText(painter, kDateFont, kDataBlack, at(device, {kDayData, kBirthRow, 48}), birth.day);

    useGb2312Locale();
    const QStringList address = splitAddress(fieldText(record.address));
    const int lineOffsets[] = {39, 99, 159}; // lines 60 pixels apart
    for (int line = 0; line < address.size(); ++line) {
        if (line == 0 || !address.at(line).isEmpty())
            drawText(painter, kDataFont, kDataBlack, at(device, {kDataColumn, kAddressRow, lineOffsets[line]}),
                     address.at(line));
    }

    drawText(painter, kIdNumberFont, kDataBlack, at(device, {kIdNumberColumn, kIdNumberRow, 60}),
             fieldText(record.idNumber));

    drawPhoto(painter, at(device, {kPhotoColumn, kPhotoRow, 0}), photoPath);
}

void drawBack(QPaintDevice &device, const IDINFO &record)
{
    useGb2312Locale();
    QPainter painter;
    if (!beginPainting(painter, device))
        return;
    for (const BackText &text : kBackTexts)
        drawText(painter, text.font, kDataBlack, at(device, text.at), QString::fromUtf8(text.text));
    drawText(painter, kAuthorityFont, kDataBlack, at(device, {kAuthorityColumn, kAuthorityRow, 40}),
             fieldText(record.authority));
    drawText(painter, kTermFont, kDataBlack, at(device, {kAuthorityColumn, kTermRow, 40}),
             validityTerm(fieldText(record.validFrom), fieldText(record.validTo)));
}

} // namespace idcardpictures

void luvaroCard::IDCardPicFront(const IDINFO &record)
{
    addMaskByPath(idcardpictures::kFrontTemplate, idcardpictures::kFrontOutput, record);
}

void luvaroCard::IDCardPicBack(const IDINFO &record)
{
    addMaskByPathBack(idcardpictures::kBackTemplate, idcardpictures::kBackOutput, record);
}

void luvaroCard::addMaskByPath(const char *templatePath, const char *outputPath, const IDINFO &record)
{
    QPixmap pixmap = idcardpictures::loadTemplate(templatePath);
    addMask(pixmap, record);
    idcardpictures::saveJpeg(pixmap, outputPath);
}

void luvaroCard::addMaskByPathBack(const char *templatePath, const char *outputPath, const IDINFO &record)
{
    QPixmap pixmap = idcardpictures::loadTemplate(templatePath);
    addMaskBack(pixmap, record);
    idcardpictures::saveJpeg(pixmap, outputPath);
}

void luvaroCard::addMask(QPixmap &pixmap, const IDINFO &record)
{
    idcardpictures::drawFront(pixmap, record, idcardpictures::kPhotoBitmap);
}

void luvaroCard::addMaskBack(QPixmap &pixmap, const IDINFO &record)
{
    idcardpictures::drawBack(pixmap, record);
}
