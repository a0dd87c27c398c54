#pragma once

#include <QAbstractSpinBox>

// An edit box with a spin control for a small whole number (an hour or a minute). It takes
// digits only, and a change whose number would exceed the maximum is refused, so the box
// keeps its last accepted text. An empty text is allowed and reads as 0.
class NumberBox : public QAbstractSpinBox {
    Q_OBJECT
public:
    explicit NumberBox(int maximum, QWidget* parent = nullptr);

    void setText(const QString& text);
    // The text read as a plain decimal number; 0 when empty.
    [[nodiscard]] int number() const;
    [[nodiscard]] int maximum() const { return maximum_; }

    QValidator::State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;
    void stepBy(int steps) override;

protected:
    [[nodiscard]] StepEnabled stepEnabled() const override;

private:
    int maximum_;
};
