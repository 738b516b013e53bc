// SPDX-License-Identifier: MIT
// Draws the logo bitmaps of the branding variants (logo1.png ... logo10.png) into the given directory.
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cstdio>

namespace {

// Three overlapping light discs, red, green and blue, for a colour sensor; then the name.
QImage DrawLogo(int variant)
{
    const int w = 400, h = 88; // drawn at twice the size the panel shows, so it stays sharp at 200 %
    QImage img(w, h, QImage::Format_ARGB32_Premultiplied);
    const bool dark = variant == 5 || variant == 9;
    img.fill(dark ? QColor(0x00, 0x50, 0xA0) : QColor(Qt::white));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setCompositionMode(dark ? QPainter::CompositionMode_Plus : QPainter::CompositionMode_Multiply);
    const QColor discs[3] = {QColor(0xFF, 0x50, 0x50), QColor(0x50, 0xD0, 0x50), QColor(0x50, 0x70, 0xFF)};
    const QPointF centres[3] = {{34, 30}, {56, 30}, {45, 50}};
    for (int i = 0; i < 3; ++i) {
        QColor c = discs[(i + variant) % 3];
        c.setAlpha(dark ? 200 : 255);
        p.setPen(Qt::NoPen);
        p.setBrush(c);
        p.drawEllipse(centres[i], 24, 24);
    }
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(40);
    f.setBold(true);
    f.setLetterSpacing(QFont::AbsoluteSpacing, 3);
    p.setFont(f);
    p.setPen(dark ? QColor(Qt::white) : QColor(0x1A, 0x3A, 0x6A));
    p.drawText(QRect(94, 0, w - 100, h - 18), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("QUILLEX"));
    QFont s(QStringLiteral("DejaVu Sans"));
    s.setPixelSize(15);
    p.setFont(s);
    p.setPen(dark ? QColor(0xD0, 0xE0, 0xFF) : QColor(0x60, 0x60, 0x60));
    p.drawText(QRect(96, h - 26, w - 100, 22), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("colour sensing"));
    return img;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: quillex-make-logos DIRECTORY\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    for (int v = 1; v <= 10; ++v) {
        const QString path = dir.filePath(QStringLiteral("logo%1.png").arg(v));
        if (!DrawLogo(v).save(path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
