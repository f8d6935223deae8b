// qrv-render-icon SVG SIZE OUT.png: draws an SVG picture into a square PNG of
// SIZE pixels (the desktop icons of the package are made from the program's
// own window icon this way at build time).
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: qrv-render-icon SVG SIZE OUT.png\n", stderr);
        return 2;
    }
    const int size = std::atoi(argv[2]);
    if (size < 1 || size > 4096) {
        std::fprintf(stderr, "qrv-render-icon: bad size %s\n", argv[2]);
        return 2;
    }
    // Rendering needs no display; the offscreen platform is enough.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QSvgRenderer svg(QString::fromLocal8Bit(argv[1]));
    if (!svg.isValid()) {
        std::fprintf(stderr, "qrv-render-icon: cannot read %s\n", argv[1]);
        return 1;
    }
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    svg.render(&p);
    p.end();
    if (!img.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
        std::fprintf(stderr, "qrv-render-icon: cannot write %s\n", argv[3]);
        return 1;
    }
    return 0;
}
