#include "editor/EditorWidgets.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTabWidget>
#include <algorithm>
#include <vector>

namespace vorn::editor {

namespace {

void CollectLayout(QLayout* layout, std::vector<QWidget*>& order);

void CollectWidget(QWidget* widget, std::vector<QWidget*>& order)
{
    if (auto* tabs = qobject_cast<QTabWidget*>(widget)) {
        order.push_back(tabs);
        for (int i = 0; i < tabs->count(); ++i)
            CollectWidget(tabs->widget(i), order);
        return;
    }
    // A widget that takes the focus itself is one stop, whatever it is made of.
    if (widget->focusPolicy() & Qt::TabFocus)
        order.push_back(widget);
    else if (widget->layout())
        CollectLayout(widget->layout(), order);
}

void CollectLayout(QLayout* layout, std::vector<QWidget*>& order)
{
    // A grid's items are kept in the order they were added; its reading order is by cell.
    struct Placed {
        int row;
        int column;
        QLayoutItem* item;
    };
    std::vector<Placed> items;
    auto* grid = qobject_cast<QGridLayout*>(layout);
    for (int i = 0; i < layout->count(); ++i) {
        Placed placed { i, 0, layout->itemAt(i) };
        if (grid) {
            int rowSpan = 0;
            int columnSpan = 0;
            grid->getItemPosition(i, &placed.row, &placed.column, &rowSpan, &columnSpan);
        }
        items.push_back(placed);
    }
    std::stable_sort(items.begin(), items.end(), [](const Placed& a, const Placed& b) {
        return a.row != b.row ? a.row < b.row : a.column < b.column;
    });
    for (const Placed& placed : items) {
        if (QWidget* widget = placed.item->widget())
            CollectWidget(widget, order);
        else if (QLayout* inner = placed.item->layout())
            CollectLayout(inner, order);
    }
}

} // namespace

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
    return QStringLiteral("A host name or address. Write ftpes://host for FTP over explicit TLS, "
                          "ftps://host for implicit TLS or sftp://host for SFTP (port 22); plain FTP "
                          "otherwise.");
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
    // The port follows the protocol while it still shows the other protocol's own port.
    QObject::connect(server, &QLineEdit::textChanged, port, [port](const QString& text) {
        const bool sftp = text.trimmed().startsWith(QStringLiteral("sftp://"), Qt::CaseInsensitive);
        if (sftp && port->text() == QStringLiteral("21"))
            port->setText(QStringLiteral("22"));
        else if (!sftp && port->text() == QStringLiteral("22"))
            port->setText(QStringLiteral("21"));
    });
    return grid;
}

void OrderTabsByLayout(QWidget* root)
{
    if (!root->layout())
        return;
    std::vector<QWidget*> order;
    CollectLayout(root->layout(), order);
    for (std::size_t i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

} // namespace vorn::editor
