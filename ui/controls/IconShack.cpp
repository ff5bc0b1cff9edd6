#include "ui/controls/IconShack.h"

#include "app/Logger.h"
#include "ui/controls/Pictures.h"

#include <array>

namespace {

constexpr std::array<int, CIconShack::kColours> kNormalIds{187, 178, 181, 184, 175};
constexpr std::array<int, CIconShack::kColours> kCachingIds{188, 179, 182, 185, 176};
constexpr std::array<int, CIconShack::kColours> kDisabledIds{174, 180, 183, 186, 177};
constexpr int kArrowBitmapId = 197;

struct Tables {
    std::array<QIcon, CIconShack::kColours> normal;
    std::array<QIcon, CIconShack::kColours> caching;
    std::array<QIcon, CIconShack::kColours> disabled;
    QIcon arrow;
    bool loaded = false;
};

Tables& TheTables() {
    static Tables tables;
    return tables;
}

std::size_t Index(int colour) noexcept {
    return colour >= 0 && colour < CIconShack::kColours ? static_cast<std::size_t>(colour) : 0;
}

} // namespace

void CIconShack::LoadIcons() {
    Tables& tables = TheTables();
    if (tables.loaded)
        return;
    for (std::size_t i = 0; i < kColours; ++i) {
        tables.normal[i] = CPictures::Icon(CPictures::IconPath(kNormalIds[i]));
        tables.caching[i] = CPictures::Icon(CPictures::IconPath(kCachingIds[i]));
        tables.disabled[i] = CPictures::Icon(CPictures::IconPath(kDisabledIds[i]));
    }
    // The arrow is not square: its own size at the scales fonts come in.
    const QString arrow = CPictures::BitmapPath(kArrowBitmapId);
    const QSize arrowSize = CPictures::NaturalSize(arrow);
    for (const double scale : {1.0, 1.25, 1.5, 2.0, 3.0}) {
        const QImage image = CPictures::Render(arrow, arrowSize * scale);
        if (!image.isNull())
            tables.arrow.addPixmap(QPixmap::fromImage(image));
    }
    tables.loaded = true;
    VBX_LOG(4, "Icons loaded\n");
}

const QIcon& CIconShack::NormalIcon(int colour) {
    LoadIcons();
    return TheTables().normal[Index(colour)];
}

const QIcon& CIconShack::CachingIcon(int colour) {
    LoadIcons();
    return TheTables().caching[Index(colour)];
}

const QIcon& CIconShack::DisabledIcon(int colour) {
    LoadIcons();
    return TheTables().disabled[Index(colour)];
}

const QIcon& CIconShack::ArrowBitmap() {
    LoadIcons();
    return TheTables().arrow;
}

int CIconShack::NormalIconId(int colour) noexcept {
    return kNormalIds[Index(colour)];
}

int CIconShack::CachingIconId(int colour) noexcept {
    return kCachingIds[Index(colour)];
}

int CIconShack::DisabledIconId(int colour) noexcept {
    return kDisabledIds[Index(colour)];
}
