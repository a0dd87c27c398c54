#pragma once

#include <QString>
#include <QStyledItemDelegate>

// Texts from a server or a stored project (names, paths, reasons, replies) are data. Qt
// takes a tool tip or a tray message that looks like markup for rich text and would load
// what an <img> in it names; these helpers hand such texts over so that they show as typed.
namespace vorn {

// `text` in a form that Qt's guess between plain and rich text (tool tips, informative texts)
// shows literally, line breaks kept.
[[nodiscard]] QString AsPlainText(const QString& text);

// A tray message body: escaped, since notification servers may read markup.
[[nodiscard]] QString PlainMessage(const QString& text);

} // namespace vorn

// Draws cells as the styled delegate does, and shows their tool tips (Qt::ToolTipRole) as
// plain text. Every list whose cells carry names, paths or reasons uses it.
class PlainToolTipDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
        const QModelIndex& index) override;
};
