#include "editor/EditorWidgets.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>

namespace vorn::editor {

QLineEdit* MakeEdit(QWidget* parent, const char* objectName, int maxLength, bool digitsOnly)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(objectName);
    if (maxLength > 0)
        edit->setMaxLength(maxLength);
    if (digitsOnly)
        edit->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), edit));
    return edit;
}

QPushButton* MakeButton(QWidget* parent, const char* objectName, const QString& caption)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(objectName);
    button->setAutoDefault(false);
    return button;
}

QString ServerToolTip()
{
    return QStringLiteral("A host name or address. Write ftpes://host for FTP over explicit TLS "
                          "or ftps://host for implicit TLS; plain FTP otherwise.");
}

bool IsEnterOrEscape(const QKeyEvent* event)
{
    const int key = event->key();
    return key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape;
}

} // namespace vorn::editor
