#pragma once

#include <QColor>
#include <QPixmap>
#include <QString>
#include <QWidget>

// A horizontal progress bar that paints itself: a bar in one colour over a background in
// another and, centred across both, the percentage (or a caption) whose colour flips where
// the bar edge passes under it. Fed by a timer every few milliseconds, it only repaints when
// the bar's width in pixels changes.
class TextProgressBar : public QWidget {
    Q_OBJECT
public:
    explicit TextProgressBar(QWidget* parent = nullptr);

    // Stores both bounds; no repaint and no check (a lower bound >= upper draws nothing).
    void SetRange(int lower, int upper);
    void SetBarColor(const QColor& colour);
    // Stores the position and returns the previous one.
    int SetPos(int position);

    void setCaption(const QString& caption);
    [[nodiscard]] QString caption() const { return caption_; }
    [[nodiscard]] int position() const { return position_; }
    [[nodiscard]] QColor barColor() const { return barColour_; }
    // The text drawn: the caption, or the truncated percentage ("42%").
    [[nodiscard]] QString displayText() const;

    [[nodiscard]] QSize sizeHint() const override { return { 120, 18 }; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    [[nodiscard]] double Fraction() const;
    void Render();
    void TakeColoursFromPalette();

    int position_ = 0;
    int lower_ = 0;
    int upper_ = 100;
    QString caption_;
    int lastWidth_ = -1;
    bool barColourSet_ = false;
    QColor barColour_;
    QColor backgroundColour_;
    QColor textOverBackground_;
    QColor textOverBar_;
    QPixmap frame_;
    bool frameStale_ = true;
};
