#include "gui/TextProgressBar.h"

#include <QPaintEvent>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <limits>

TextProgressBar::TextProgressBar(QWidget* parent)
    : QWidget(parent)
{
    setObjectName("progressBar");
    // The whole area is covered by each paint, so Qt need not clear it first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    TakeColoursFromPalette();
}

void TextProgressBar::TakeColoursFromPalette()
{
    const QPalette& pal = palette();
    if (!barColourSet_)
        barColour_ = pal.color(QPalette::Highlight);
    backgroundColour_ = pal.color(QPalette::Base);
    textOverBackground_ = pal.color(QPalette::Highlight);
    textOverBar_ = pal.color(QPalette::Base);
    frameStale_ = true;
}

void TextProgressBar::SetRange(int lower, int upper)
{
    lower_ = lower;
    upper_ = upper;
}

void TextProgressBar::SetBarColor(const QColor& colour)
{
    barColour_ = colour;
    barColourSet_ = true;
    frameStale_ = true;
}

double TextProgressBar::Fraction() const
{
    if (lower_ >= upper_)
        return 0.0;
    return (static_cast<double>(position_) - lower_) / (static_cast<double>(upper_) - lower_);
}

int TextProgressBar::SetPos(int position)
{
    const int old = position_;
    position_ = position;
    // An empty range gives no bar instead of a division by zero.
    const double exact = Fraction() * width();
    const double limited = std::clamp(
        exact, double(std::numeric_limits<int>::min() / 2), double(std::numeric_limits<int>::max() / 2));
    const int barWidth = static_cast<int>(std::trunc(limited));
    if (barWidth != lastWidth_) {
        lastWidth_ = barWidth;
        frameStale_ = true;
        update();
    }
    return old;
}

void TextProgressBar::setCaption(const QString& caption)
{
    if (caption == caption_)
        return;
    caption_ = caption;
    frameStale_ = true;
    update();
}

QString TextProgressBar::displayText() const
{
    if (!caption_.isEmpty())
        return caption_;
    const double percent = std::clamp(Fraction() * 100.0, -1.0e9, 1.0e9);
    return QStringLiteral("%1%").arg(static_cast<int>(std::trunc(percent)));
}

void TextProgressBar::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    lastWidth_ = -1;
    frameStale_ = true;
}

void TextProgressBar::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::PaletteChange)
        TakeColoursFromPalette();
    QWidget::changeEvent(event);
}

void TextProgressBar::Render()
{
    const qreal ratio = devicePixelRatioF();
    frame_ = QPixmap(size() * ratio);
    frame_.setDevicePixelRatio(ratio);
    QPainter p(&frame_);
    const QRect area = rect();
    if (lower_ >= upper_) {
        p.fillRect(area, backgroundColour_);
        return;
    }
    const double exact = area.left() + area.width() * Fraction();
    const int split
        = static_cast<int>(std::trunc(std::clamp(exact, double(area.left()), double(area.right() + 1))));
    const QRect bar(area.left(), area.top(), split - area.left(), area.height());
    const QRect rest(split, area.top(), area.right() + 1 - split, area.height());
    p.fillRect(bar, barColour_);
    p.fillRect(rest, backgroundColour_);
    const QString text = displayText();
    p.setFont(font());
    p.setClipRect(bar);
    p.setPen(textOverBar_);
    p.drawText(area, Qt::AlignCenter | Qt::TextSingleLine, text);
    p.setClipRect(rest);
    p.setPen(textOverBackground_);
    p.drawText(area, Qt::AlignCenter | Qt::TextSingleLine, text);
}

void TextProgressBar::paintEvent(QPaintEvent* event)
{
    if (frameStale_ || frame_.size() != size() * devicePixelRatioF()) {
        Render();
        frameStale_ = false;
    }
    QPainter p(this);
    p.drawPixmap(0, 0, frame_);
}
