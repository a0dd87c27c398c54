// Draws the program's icons: the toolbar icons read from images/ at start-up, the built-in
// toolbar set compiled into the program (used when a file is missing), the small pane icons
// and the program icon (PNG at every size the desktop asks for, and a scalable SVG drawn by the
// same code). Run images/make-icons to rebuild them; the results are committed.
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QImageWriter>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QSvgGenerator>
#include <cstdio>
#include <functional>

namespace {

enum class Style { Glossy, Flat };

struct Palette {
    QColor ink;
    QColor paper;
};

QBrush Fill(Style style, const QRectF& r, QColor base)
{
    if (style == Style::Flat)
        return base;
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, base.lighter(150));
    g.setColorAt(0.55, base);
    g.setColorAt(1, base.darker(130));
    return g;
}

QPen Outline(Style style, QColor base, qreal width = 1.2)
{
    return QPen(style == Style::Flat ? base.darker(160) : base.darker(190), width, Qt::SolidLine,
        Qt::RoundCap, Qt::RoundJoin);
}

void Page(QPainter& p, Style s, QRectF r)
{
    const qreal fold = r.width() * 0.3;
    QPainterPath path;
    path.moveTo(r.left(), r.top());
    path.lineTo(r.right() - fold, r.top());
    path.lineTo(r.right(), r.top() + fold);
    path.lineTo(r.right(), r.bottom());
    path.lineTo(r.left(), r.bottom());
    path.closeSubpath();
    p.setPen(Outline(s, QColor(120, 130, 150)));
    p.setBrush(s == Style::Flat ? QBrush(QColor(250, 250, 250)) : Fill(s, r, QColor(236, 240, 246)));
    p.drawPath(path);
    QPainterPath corner;
    corner.moveTo(r.right() - fold, r.top());
    corner.lineTo(r.right() - fold, r.top() + fold);
    corner.lineTo(r.right(), r.top() + fold);
    p.setBrush(QColor(200, 208, 220));
    p.drawPath(corner);
    p.setPen(QPen(QColor(160, 170, 190), r.height() / 28.0));
    for (int i = 0; i < 4; ++i) {
        const qreal y = r.top() + fold + 2 + i * r.height() / 7.5;
        if (y < r.bottom() - 2)
            p.drawLine(QPointF(r.left() + 3, y), QPointF(r.right() - 4, y));
    }
}

void Badge(QPainter& p, Style s, QPointF c, qreal radius, QColor colour)
{
    QRectF r(c.x() - radius, c.y() - radius, 2 * radius, 2 * radius);
    p.setPen(Outline(s, colour));
    if (s == Style::Glossy) {
        QRadialGradient g(c - QPointF(radius / 3, radius / 3), radius * 1.4);
        g.setColorAt(0, colour.lighter(160));
        g.setColorAt(1, colour.darker(115));
        p.setBrush(g);
    } else {
        p.setBrush(colour);
    }
    p.drawEllipse(r);
}

void DrawNew(QPainter& p, Style s)
{
    Page(p, s, QRectF(5, 2, 19, 26));
    Badge(p, s, QPointF(23, 23), 7, QColor(52, 168, 83));
    p.setPen(QPen(Qt::white, 2.4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(23, 19.2), QPointF(23, 26.8));
    p.drawLine(QPointF(19.2, 23), QPointF(26.8, 23));
}

void DrawModify(QPainter& p, Style s)
{
    Page(p, s, QRectF(4, 2, 19, 26));
    p.save();
    p.translate(20, 17);
    p.rotate(45);
    const QRectF body(-3, -12, 6, 19);
    p.setPen(Outline(s, QColor(230, 150, 20)));
    p.setBrush(Fill(s, body, QColor(245, 180, 40)));
    p.drawRect(body);
    p.setBrush(QColor(235, 120, 130));
    p.drawRect(QRectF(-3, -15, 6, 3));
    QPainterPath tip;
    tip.moveTo(-3, 7);
    tip.lineTo(3, 7);
    tip.lineTo(0, 13);
    tip.closeSubpath();
    p.setBrush(QColor(240, 215, 170));
    p.drawPath(tip);
    p.restore();
}

void DrawDelete(QPainter& p, Style s)
{
    const QColor red(214, 52, 52);
    const QRectF bin(8, 9, 16, 20);
    p.setPen(Outline(s, QColor(110, 115, 125)));
    p.setBrush(Fill(s, bin, QColor(170, 176, 186)));
    QPainterPath can;
    can.moveTo(bin.left(), bin.top());
    can.lineTo(bin.right(), bin.top());
    can.lineTo(bin.right() - 2, bin.bottom());
    can.lineTo(bin.left() + 2, bin.bottom());
    can.closeSubpath();
    p.drawPath(can);
    p.drawRoundedRect(QRectF(6, 5, 20, 4), 1.5, 1.5);
    p.drawRect(QRectF(13, 3, 6, 2));
    p.setPen(QPen(QColor(110, 115, 125), 1.4));
    for (qreal x : { 12.5, 16.0, 19.5 })
        p.drawLine(QPointF(x, 12), QPointF(x, 26));
    Badge(p, s, QPointF(24, 23), 6.5, red);
    p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(21.5, 20.5), QPointF(26.5, 25.5));
    p.drawLine(QPointF(26.5, 20.5), QPointF(21.5, 25.5));
}

void DrawRun(QPainter& p, Style s)
{
    Badge(p, s, QPointF(16, 16), 13.5, QColor(46, 160, 67));
    QPainterPath play;
    play.moveTo(12.5, 9);
    play.lineTo(23.5, 16);
    play.lineTo(12.5, 23);
    play.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawPath(play);
}

void DrawPause(QPainter& p, Style s)
{
    Badge(p, s, QPointF(16, 16), 13.5, QColor(230, 160, 20));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(10.5, 9, 4, 14), 1, 1);
    p.drawRoundedRect(QRectF(17.5, 9, 4, 14), 1, 1);
}

void DrawStop(QPainter& p, Style s)
{
    Badge(p, s, QPointF(16, 16), 13.5, QColor(210, 50, 50));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(10, 10, 12, 12), 1.5, 1.5);
}

void DrawHome(QPainter& p, Style s)
{
    const QRectF wall(7, 14, 18, 15);
    p.setPen(Outline(s, QColor(200, 170, 120)));
    p.setBrush(Fill(s, wall, QColor(245, 228, 190)));
    p.drawRect(wall);
    QPainterPath roof;
    roof.moveTo(3, 16);
    roof.lineTo(16, 3.5);
    roof.lineTo(29, 16);
    roof.lineTo(25.5, 16);
    roof.lineTo(16, 7.5);
    roof.lineTo(6.5, 16);
    roof.closeSubpath();
    p.setPen(Outline(s, QColor(190, 60, 50)));
    p.setBrush(Fill(s, QRectF(3, 3, 26, 13), QColor(215, 75, 60)));
    p.drawPath(roof);
    p.setPen(Outline(s, QColor(120, 80, 50)));
    p.setBrush(Fill(s, QRectF(13, 19, 6, 10), QColor(150, 100, 60)));
    p.drawRect(QRectF(13, 19, 6, 10));
    p.setBrush(QColor(120, 190, 235));
    p.drawRect(QRectF(20.5, 17.5, 3, 3));
}

void DrawAbout(QPainter& p, Style s)
{
    Badge(p, s, QPointF(16, 16), 13.5, QColor(40, 110, 200));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(16, 9.5), 2.2, 2.2);
    p.drawRoundedRect(QRectF(14, 13.5, 4, 11), 1.2, 1.2);
    p.drawRect(QRectF(12.5, 13.5, 3, 2));
    p.drawRect(QRectF(12.5, 22.5, 7, 2));
}

// Small pane icons (16 x 16).
void DrawSmallDocument(QPainter& p)
{
    Page(p, Style::Glossy, QRectF(2.5, 0.5, 11, 15));
}

void DrawSmallFolder(QPainter& p)
{
    const QColor gold(236, 186, 68);
    p.setPen(QPen(gold.darker(150), 1));
    p.setBrush(gold.darker(110));
    QPainterPath back;
    back.moveTo(0.5, 3);
    back.lineTo(6, 3);
    back.lineTo(7.5, 4.5);
    back.lineTo(15.5, 4.5);
    back.lineTo(15.5, 13.5);
    back.lineTo(0.5, 13.5);
    back.closeSubpath();
    p.drawPath(back);
    p.setBrush(Fill(Style::Glossy, QRectF(0.5, 6, 15, 7.5), gold));
    p.drawRect(QRectF(0.5, 6.5, 15, 7));
}

void DrawSmallUp(QPainter& p)
{
    QPainterPath arrow;
    arrow.moveTo(8, 1.5);
    arrow.lineTo(14.5, 8);
    arrow.lineTo(10.5, 8);
    arrow.lineTo(10.5, 14.5);
    arrow.lineTo(5.5, 14.5);
    arrow.lineTo(5.5, 8);
    arrow.lineTo(1.5, 8);
    arrow.closeSubpath();
    p.setPen(QPen(QColor(30, 110, 60), 1));
    p.setBrush(Fill(Style::Glossy, QRectF(1, 1, 14, 14), QColor(60, 170, 90)));
    p.drawPath(arrow);
}

void DrawSmallError(QPainter& p)
{
    Badge(p, Style::Glossy, QPointF(8, 8), 7, QColor(214, 40, 40));
    p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(5, 5), QPointF(11, 11));
    p.drawLine(QPointF(11, 5), QPointF(5, 11));
}

// The program icon: a cloud-blue disc with a folder and a circular arrow.
void DrawProgram(QPainter& p, int size)
{
    p.scale(size / 64.0, size / 64.0);
    QRadialGradient g(QPointF(24, 20), 50);
    g.setColorAt(0, QColor(90, 170, 240));
    g.setColorAt(1, QColor(20, 80, 160));
    p.setPen(QPen(QColor(15, 60, 120), 2));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(3, 3, 58, 58), 12, 12);
    const QColor gold(246, 196, 78);
    p.setPen(QPen(gold.darker(150), 1.5));
    p.setBrush(gold.darker(112));
    QPainterPath back;
    back.moveTo(13, 20);
    back.lineTo(26, 20);
    back.lineTo(29, 24);
    back.lineTo(51, 24);
    back.lineTo(51, 48);
    back.lineTo(13, 48);
    back.closeSubpath();
    p.drawPath(back);
    p.setBrush(Fill(Style::Glossy, QRectF(13, 28, 38, 20), gold));
    p.drawRect(QRectF(13, 29, 38, 19));
    p.setPen(QPen(QColor(255, 255, 255), 4, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(23, 31, 18, 14), 30 * 16, 280 * 16);
    QPainterPath head;
    head.moveTo(41.5, 30.5);
    head.lineTo(42.5, 38.5);
    head.lineTo(35, 35);
    head.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawPath(head);
}

QImage Render(int size, const std::function<void(QPainter&)>& draw)
{
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    draw(p);
    return image;
}

bool Save(const QImage& image, const QString& path, const char* format)
{
    QImageWriter writer(path, format);
    if (!writer.write(image)) {
        std::fprintf(stderr, "cannot write %s: %s\n", qPrintable(path), qPrintable(writer.errorString()));
        return false;
    }
    return true;
}

// The program icon as SVG: the same painting recorded by Qt's SVG generator, so the scalable
// icon and the PNGs cannot drift apart.
bool SaveProgramSvg(const QString& path)
{
    QSvgGenerator svg;
    svg.setFileName(path);
    svg.setSize(QSize(64, 64));
    svg.setViewBox(QRect(0, 0, 64, 64));
    svg.setTitle("Vorn FTP Backup");
    QPainter p;
    if (!p.begin(&svg)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    p.setRenderHint(QPainter::Antialiasing);
    DrawProgram(p, 64);
    return p.end();
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s IMAGES_DIR ICONS_DIR\n", argv[0]);
        return 2;
    }
    const QDir images(QString::fromLocal8Bit(argv[1]));
    const QDir icons(QString::fromLocal8Bit(argv[2]));
    struct Tool {
        const char* file;
        const char* builtin;
        void (*draw)(QPainter&, Style);
    };
    const Tool tools[] = { { "New.ico", "new.png", DrawNew }, { "modify.ico", "modify.png", DrawModify },
        { "delete.ico", "delete.png", DrawDelete }, { "run.ico", "run.png", DrawRun },
        { "pause.ico", "pause.png", DrawPause }, { "stop.ico", "stop.png", DrawStop },
        { "home.ico", "home.png", DrawHome }, { "about.ico", "about.png", DrawAbout } };
    bool ok = true;
    for (const Tool& t : tools) {
        ok &= Save(
            Render(32, [&](QPainter& p) { t.draw(p, Style::Glossy); }), images.filePath(t.file), "ico");
        ok &= Save(Render(32, [&](QPainter& p) { t.draw(p, Style::Flat); }),
            icons.filePath(QStringLiteral("tool-") + t.builtin), "png");
    }
    ok &= Save(Render(16, DrawSmallDocument), icons.filePath("small-document.png"), "png");
    ok &= Save(Render(16, DrawSmallFolder), icons.filePath("small-folder.png"), "png");
    ok &= Save(Render(16, DrawSmallUp), icons.filePath("small-up.png"), "png");
    ok &= Save(Render(16, DrawSmallError), icons.filePath("small-error.png"), "png");
    for (int size : { 16, 32, 48, 64, 128, 256 })
        ok &= Save(Render(size, [&](QPainter& p) { DrawProgram(p, size); }),
            icons.filePath(QStringLiteral("vornbackup-%1.png").arg(size)), "png");
    ok &= SaveProgramSvg(icons.filePath("vornbackup.svg"));
    return ok ? 0 : 1;
}
