#pragma once

#include "idinfo.h"

#include <QImage>
#include <QString>
#include <QStringList>

class QPaintDevice;

// Composing the pictures of the identity card's two faces. luvaroCard's
// addMask/addMaskBack draw through these; they are separate so that the
// layout can be drawn on any paint device and checked.
namespace idcardpictures {

// Where the installed templates are and where the composed pictures go.
extern const char kFrontTemplate[];
extern const char kFrontOutput[];
extern const char kBackTemplate[];
extern const char kBackOutput[];
// The decoded photo ("/tmp/idCard.bmp", replaced by its scaled copy when the
// front is drawn) and its JPEG copy for the reply ("/tmp/idCard.jpg").
extern const char kPhotoBitmap[];
extern const char kPhotoJpeg[];

struct BirthParts
{
    QString year, month, day;
};
// 19900105 -> 1990, 1, 5: leading zeros of month and day are dropped.
BirthParts splitBirth(const QString &birth);
// Lines of 11 characters: at most three, the third never cut; missing lines are empty.
QStringList splitAddress(const QString &address);
// 20200101, 20400101 -> 2020.01.01-2040.01.01.
QString validityTerm(const QString &validFrom, const QString &validTo);
// The photo as drawn: near-white pixels transparent, stretched to 307 x 378.
QImage preparePhoto(const QImage &photo);

// Draw onto the device; W and H are the device's own size. The front also
// reads the photo from photoPath and writes its prepared copy back there.
void drawFront(QPaintDevice &device, const IDINFO &record, const char *photoPath);
void drawBack(QPaintDevice &device, const IDINFO &record);

} // namespace idcardpictures
