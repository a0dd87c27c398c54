#include "gui/PlainText.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QTextDocument>
#include <QToolTip>

namespace vorn {

QString AsPlainText(const QString& text)
{
    // Qt shows a tip as rich text when it guesses so (Qt::mightBeRichText); such a text is
    // escaped and wrapped as rich text of our own, any other one already shows as it is.
    if (!Qt::mightBeRichText(text))
        return text;
    return Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal);
}

QString PlainMessage(const QString& text)
{
    return text.toHtmlEscaped();
}

} // namespace vorn

bool PlainToolTipDelegate::helpEvent(
    QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option, const QModelIndex& index)
{
    if (event == nullptr || view == nullptr || event->type() != QEvent::ToolTip)
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    const QString text = index.data(Qt::ToolTipRole).toString();
    if (text.isEmpty()) {
        QToolTip::hideText();
        event->ignore();
        return false;
    }
    QToolTip::showText(event->globalPos(), vorn::AsPlainText(text), view, view->visualRect(index));
    return true;
}
