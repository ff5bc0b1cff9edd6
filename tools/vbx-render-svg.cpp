// Renders SVG pictures into PNG files: the program's icon at the sizes of the
// freedesktop icon theme (at install time), and sheets of pictures at several
// sizes on light and dark grounds, to judge how the icons read in a tray.
//
//   vbx-render-svg IN.svg OUT.png SIZE            a square SIZE x SIZE picture
//   vbx-render-svg --sheet OUT.png SIZES IN.svg... one row per picture, each
//                                                  at every size of SIZES
//                                                  ("16,22,32"), on a light and
//                                                  a dark ground

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QStringList>
#include <QSvgRenderer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

int Usage() {
    std::fprintf(stderr, "usage: vbx-render-svg IN.svg OUT.png SIZE\n"
                         "       vbx-render-svg --sheet OUT.png SIZES IN.svg...\n");
    return 2;
}

bool RenderInto(QPainter& painter, const QString& file, const QRectF& target) {
    QSvgRenderer renderer(file);
    if (!renderer.isValid()) {
        std::fprintf(stderr, "vbx-render-svg: cannot read %s\n", qPrintable(file));
        return false;
    }
    renderer.render(&painter, target);
    return true;
}

int RenderOne(const QString& in, const QString& out, int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    const bool ok = RenderInto(painter, in, QRectF(0, 0, size, size));
    painter.end();
    if (!ok)
        return 1;
    if (!image.save(out, "PNG")) {
        std::fprintf(stderr, "vbx-render-svg: cannot write %s\n", qPrintable(out));
        return 1;
    }
    return 0;
}

int RenderSheet(const QString& out, const QString& sizesText, const QStringList& files) {
    std::vector<int> sizes;
    for (const QString& part : sizesText.split(',', Qt::SkipEmptyParts))
        sizes.push_back(part.toInt());
    int cell = 0;
    for (const int size : sizes)
        cell += size + 8;
    const int rowHeight = (sizes.empty() ? 16 : *std::max_element(sizes.begin(), sizes.end())) + 8;
    QImage image(cell * 2 + 8, rowHeight * static_cast<int>(files.size()) + 8, QImage::Format_RGB32);
    image.fill(QColor(0xf4, 0xf4, 0xf4));
    QPainter painter(&image);
    painter.fillRect(QRect(cell + 4, 0, cell + 4, image.height()), QColor(0x2b, 0x2b, 0x30));
    for (int row = 0; row < files.size(); ++row) {
        for (int ground = 0; ground < 2; ++ground) {
            int x = 4 + ground * (cell + 4);
            for (const int size : sizes) {
                if (!RenderInto(painter, files[row], QRectF(x, 4 + row * rowHeight, size, size)))
                    return 1;
                x += size + 8;
            }
        }
    }
    painter.end();
    return image.save(out, "PNG") ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    const QStringList args = QGuiApplication::arguments().mid(1);
    if (args.size() >= 4 && args[0] == QLatin1String("--sheet"))
        return RenderSheet(args[1], args[2], args.mid(3));
    if (args.size() == 3) {
        const int size = args[2].toInt();
        if (size <= 0)
            return Usage();
        return RenderOne(args[0], args[1], size);
    }
    return Usage();
}
