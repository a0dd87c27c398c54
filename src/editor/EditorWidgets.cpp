#include "editor/EditorWidgets.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
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

QGridLayout* LayOutLoginFields(
    QGroupBox* group, QLineEdit* server, QLineEdit* port, QLineEdit* user, QLineEdit* password)
{
    auto* grid = new QGridLayout(group);
    grid->addWidget(new QLabel("Server:", group), 0, 0);
    grid->addWidget(server, 0, 1);
    grid->addWidget(new QLabel("Port:", group), 0, 2);
    grid->addWidget(port, 0, 3);
    grid->addWidget(new QLabel("Username:", group), 1, 0);
    grid->addWidget(user, 1, 1);
    grid->addWidget(new QLabel("Password:", group), 1, 2);
    grid->addWidget(password, 1, 3);
    port->setMaximumWidth(port->fontMetrics().horizontalAdvance("000000000") + 12);
    return grid;
}

} // namespace vorn::editor
