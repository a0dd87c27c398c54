#include "gui/NumberBox.h"

#include "common/DecimalText.h"

#include <QLineEdit>
#include <algorithm>

NumberBox::NumberBox(int maximum, QWidget* parent)
    : QAbstractSpinBox(parent)
    , maximum_(maximum)
{
    setCorrectionMode(QAbstractSpinBox::CorrectToPreviousValue);
    setAccelerated(false);
    // Room for two digits and the arrows, whatever the style's minimum.
    setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("000")) + 36);
}

void NumberBox::setText(const QString& text)
{
    lineEdit()->setText(text);
}

int NumberBox::number() const
{
    return vorn::ParseDecimal32(text().toStdString());
}

QValidator::State NumberBox::validate(QString& input, int& pos) const
{
    if (input.isEmpty())
        return QValidator::Acceptable;
    for (const QChar c : input) {
        if (c < u'0' || c > u'9')
            return QValidator::Invalid;
    }
    // Saturating conversion: a long run of digits reads as a huge number and is refused.
    return vorn::ParseDecimal(input.toStdString()) <= maximum_ ? QValidator::Acceptable : QValidator::Invalid;
}

void NumberBox::fixup(QString&) const
{
    // Every text that gets into the box is acceptable; nothing to repair.
}

void NumberBox::stepBy(int steps)
{
    const int next = std::clamp(number() + steps, 0, maximum_);
    lineEdit()->setText(QString::number(next));
    selectAll();
}

QAbstractSpinBox::StepEnabled NumberBox::stepEnabled() const
{
    if (isReadOnly() || !isEnabled())
        return StepNone;
    StepEnabled enabled = StepNone;
    if (number() > 0)
        enabled |= StepDownEnabled;
    if (number() < maximum_)
        enabled |= StepUpEnabled;
    return enabled;
}
