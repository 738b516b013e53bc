// SPDX-License-Identifier: MIT
// Draws the desktop icon, the logo's three overlapping discs, as hicolor PNGs and as a scalable SVG.
#include <QColor>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPointF>
#include <QTextStream>

#include <cstdio>

namespace {

// The discs as the start-up logo shows them (in its 400 × 88 drawing), in the order they are painted.
struct Disc {
    QPointF centre;
    QColor colour;
};
constexpr double kRadius = 24;
const Disc kDiscs[3] = {
    {{34, 30}, QColor(0x50, 0xD0, 0x50)},
    {{56, 30}, QColor(0x50, 0x70, 0xFF)},
    {{45, 50}, QColor(0xFF, 0x50, 0x50)},
};
// The discs span x 10..80 and y 6..74; the icon shows them on a 48-unit grid with a small margin.
constexpr double kScale = 44.0 / 70.0;
const QPointF kMiddle(45, 40);

QPointF OnGrid(QPointF p)
{
    return (p - kMiddle) * kScale + QPointF(24, 24);
}

// Light filtered through overlapping discs: the channels multiply, as the logo paints them.
QColor Filtered(std::initializer_list<int> which)
{
    double r = 1, g = 1, b = 1;
    for (int i : which) {
        r *= kDiscs[i].colour.redF();
        g *= kDiscs[i].colour.greenF();
        b *= kDiscs[i].colour.blueF();
    }
    return QColor::fromRgbF(float(r), float(g), float(b));
}

QImage Png(int size)
{
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 48.0, size / 48.0);
    p.setPen(Qt::NoPen);
    p.setCompositionMode(QPainter::CompositionMode_Multiply);
    for (const Disc &d : kDiscs) {
        p.setBrush(d.colour);
        p.drawEllipse(OnGrid(d.centre), kRadius * kScale, kRadius * kScale);
    }
    return img;
}

// SVG 1.1 has no multiply blending, so the overlaps are drawn as clipped discs in their filtered colours.
QString Svg()
{
    QString out;
    QTextStream s(&out);
    const double r = kRadius * kScale;
    auto circle = [&](int i, const QColor &c) {
        const QPointF at = OnGrid(kDiscs[i].centre);
        return QStringLiteral("<circle cx=\"%1\" cy=\"%2\" r=\"%3\" fill=\"%4\"/>")
            .arg(at.x(), 0, 'f', 3)
            .arg(at.y(), 0, 'f', 3)
            .arg(r, 0, 'f', 3)
            .arg(c.name());
    };
    s << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"48\" height=\"48\" viewBox=\"0 0 48 48\">\n"
      << "  <defs>\n";
    for (int i = 0; i < 3; ++i)
        s << "    <clipPath id=\"disc" << i << "\">" << circle(i, Qt::black) << "</clipPath>\n";
    s << "  </defs>\n";
    for (int i = 0; i < 3; ++i)
        s << "  " << circle(i, kDiscs[i].colour) << "\n";
    const int pairs[3][2] = {{0, 1}, {0, 2}, {1, 2}};
    for (const auto &pr : pairs)
        s << "  <g clip-path=\"url(#disc" << pr[0] << ")\">" << circle(pr[1], Filtered({pr[0], pr[1]})) << "</g>\n";
    s << "  <g clip-path=\"url(#disc0)\"><g clip-path=\"url(#disc1)\">" << circle(2, Filtered({0, 1, 2}))
      << "</g></g>\n"
      << "</svg>\n";
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: quillex-make-icons DIRECTORY\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    for (int size : {48, 64, 128, 256}) {
        const QString path = dir.filePath(QStringLiteral("quillex-scope-%1.png").arg(size));
        if (!Png(size).save(path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    QFile svg(dir.filePath(QStringLiteral("quillex-scope.svg")));
    if (!svg.open(QIODevice::WriteOnly | QIODevice::Truncate) || svg.write(Svg().toUtf8()) < 0) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(svg.fileName()));
        return 1;
    }
    return 0;
}
