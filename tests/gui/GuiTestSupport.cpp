#include "GuiTestSupport.h"

#include <QAction>
#include <QSettings>
#include <QTableView>
#include <QTest>
#include <QWidget>

namespace vorn::guitest {

bool TriggerAction(QWidget* root, const char* objectName)
{
    auto* action = root->findChild<QAction*>(objectName);
    if (!action) {
        qWarning("action %s not found", objectName);
        return false;
    }
    if (!action->isEnabled()) {
        qWarning("action %s is disabled", objectName);
        return false;
    }
    action->trigger();
    return true;
}

void ClickRow(QTableView* list, int row, bool right)
{
    const QRect cell = list->visualRect(list->model()->index(row, 0));
    QTest::mouseClick(list->viewport(), right ? Qt::RightButton : Qt::LeftButton, {}, cell.center());
}

void ForgetSettings()
{
    QSettings().clear();
}

} // namespace vorn::guitest
