// The identity card: its chip UID, and the holder's record read through the
// reader's SAM with the photo and the pictures of both faces.
//
// A record read leaves the photo at two fixed paths under /tmp: the bitmap
// the driver decodes and its JPEG copy, from which the reply's photo is made.
// "readIDCard" removes both after answering; "readIDCardEX" keeps them. The
// paths are shared by every user of the machine, so they are only ever
// opened as files of ours (see ownfile.h).

#include "action.h"
#include "idcardpictures.h"
#include "ownfile.h"
#include "textmessageprocessor.h"

#include <QBuffer>
#include <QImage>
#include <QJsonObject>

#include <cstring>
#include <iterator>

namespace {

constexpr std::size_t kUidTextSize = 256;
constexpr unsigned char kFingerprintMark = 0x43; // 'C'

constexpr int kModeBasic = 0;
constexpr int kModeExtended = 1; // with the fingerprint block

// Re-encodes the image at path (any format Qt reads) as JPEG; empty when
// there is no image of ours there.
QByteArray jpegOf(const char *path, const char *format)
{
    const QImage image = QImage::fromData(ownfile::read(path));
    QByteArray encoded;
    if (image.isNull())
        return encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, format))
        encoded.clear();
    return encoded;
}

using dorvent::protocol::textOf;

// The record's fields as the reply carries them, every text field present
// even when empty; the photo at photoPath as Base64 JPEG; the fingerprint
// block when the card has one.
QJsonObject idCardFields(const IDINFO &record, const char *photoPath)
{
    const struct
    {
        const char *key;
        QString text;
    } textFields[] = {
        {"name", textOf(record.name)},
        {"ENfullname", textOf(record.enName)},
        {"sex", textOf(record.sex)},
        {"people", textOf(record.nation)},
        {"birthday", textOf(record.birth)},
        {"signdate", textOf(record.validFrom)},
        {"validterm", textOf(record.validTo)},
        {"number", textOf(record.idNumber)},
        {"organs", textOf(record.authority)},
        {"certType", textOf(record.cardType)},
        {"certVersion", textOf(record.cardVersion)},
        {"passNu", textOf(record.passNumber)},
        {"signCount", textOf(record.issueCount)},
    };
    QJsonObject fields;
    for (const auto &field : textFields)
        fields.insert(QLatin1String(field.key), field.text);
    fields.insert(QStringLiteral("photoBase64"), QString::fromLatin1(jpegOf(photoPath, "jpg").toBase64()));
    if (record.fingerprint[0] == kFingerprintMark) {
        const QByteArray fingerprint(reinterpret_cast<const char *>(record.fingerprint),
                                     sizeof record.fingerprint);
        fields.insert(QStringLiteral("figData"), QString::fromLatin1(fingerprint.toHex().toUpper()));
    }
    return fields;
}

// The JPEG copy of the decoded photo, then the pictures of both faces: in
// this order, since the front picture replaces the bitmap with its
// enlarged copy. The JPEG file is created (empty) even without a photo.
void writePhotoAndPictures(luvaroCard &card, const IDINFO &record)
{
    ownfile::write(idcardpictures::kPhotoJpeg, jpegOf(idcardpictures::kPhotoBitmap, "JPEG"));
    card.IDCardPicFront(record);
    card.IDCardPicBack(record);
}

} // namespace

QString CTextMessageProcessor::CreateCardsonidCard(const QString &functionName, long code,
                                                   const QString &msg, const QString &data,
                                                   const QString &base64, IDINFO record,
                                                   const char *photoPath) const
{
    return serialise(withFields(standardReply(functionName, code, msg, data, base64),
                                idCardFields(record, photoPath)));
}

namespace dorvent::protocol {
namespace {

void readUid(ActionCall &call)
{
    char uid[kUidTextSize] = {};
    const long result = call.card().luvaro_USB_ReadIDCardUid(uid, sizeof uid);
    call.answer(result, textOf(uid));
}

// A failed read answers with the driver's own text (empty when it wrote none);
// a read one with the card's fields and photo.
void readRecord(ActionCall &call, int mode)
{
    IDINFO record;
    std::memset(&record, 0, sizeof record);
    char message[kIdMessageSize] = {};

    luvaroCard &card = call.card();
    const long result = card.luvaro_USB_ReadIDCard(mode, idcardpictures::kPhotoBitmap, &record, message, sizeof message);
    if (result != 0)
        return call.reply(result, textOf(message));

    writePhotoAndPictures(card, record);
    call.reply(0, call.successText(), idCardFields(record, idcardpictures::kPhotoJpeg));
    if (mode == kModeBasic) {
        ownfile::remove(idcardpictures::kPhotoBitmap);
        ownfile::remove(idcardpictures::kPhotoJpeg);
    }
}

void readBasic(ActionCall &call) { readRecord(call, kModeBasic); }
void readExtended(ActionCall &call) { readRecord(call, kModeExtended); }

constexpr Action kActions[] = {
    {"readIDCardUID", Gate::ReaderOpen, readUid, "获取身份证UID信息成功", "获取身份证UID失败"},
    // Failures carry the driver's own text.
    {"readIDCard", Gate::ReaderOpen, readBasic, "获取身份证信息成功", nullptr},
    {"readIDCardEX", Gate::ReaderOpen, readExtended, "获取身份证信息成功", nullptr},
};

} // namespace

ActionTable idCardActions() { return {kActions, std::size(kActions)}; }

} // namespace dorvent::protocol
