// The demo portrait's photo block: our own 102 x 126 portrait, compiled in
// as a resource (so the emulator needs no source tree at run time) and
// encoded once by our WLT encoder, as the card's issuer would have done.
#include "idcard.h"

#include "wltencoder.h"

#include <QImage>

static void initPortraitResource()
{
    Q_INIT_RESOURCE(idcard); // the resource lives in a static library
}

namespace dorvent::emulator {

const Bytes &portraitPhoto()
{
    static const Bytes block = [] {
        initPortraitResource();
        QImage image(QStringLiteral(":/emulator/portrait-102x126.png"));
        image = image.convertToFormat(QImage::Format_RGB888)
                    .scaled(kWltPictureWidth, kWltPictureHeight, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        std::vector<std::uint8_t> rgb;
        rgb.reserve(kWltPictureWidth * kWltPictureHeight * 3);
        for (int y = 0; y < image.height(); ++y) {
            const uchar *row = image.constScanLine(y);
            rgb.insert(rgb.end(), row, row + 3 * image.width());
        }
        Bytes encoded = rgb.size() == std::size_t(kWltPictureWidth * kWltPictureHeight * 3) ? wlt::encodePhoto(rgb.data())
                                                                                            : Bytes();
        encoded.resize(IdentityCard::kPhotoSize, 0);
        return encoded;
    }();
    return block;
}

} // namespace dorvent::emulator
