#include "EditorTestSupport.h"

#include <QAbstractButton>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTest>

namespace vorn::editortest {

bool Click(const QObject* root, const char* name)
{
    auto* button = root->findChild<QAbstractButton*>(QString::fromLatin1(name));
    if (!button) {
        qWarning("button %s not found", name);
        return false;
    }
    if (!button->isVisible() || !button->isEnabled()) {
        qWarning("button %s is %s", name, button->isVisible() ? "disabled" : "hidden");
        return false;
    }
    // A check box or radio button reacts only on its indicator and label, which may be far
    // narrower than the space the layout gave it: aim at the middle of what it draws.
    QPoint target = button->rect().center();
    target.setX(qMin(target.x(), button->sizeHint().width() / 2));
    QTest::mouseClick(button, Qt::LeftButton, {}, target);
    return true;
}

void TypeInto(QWidget* widget, const QString& text)
{
    if (auto* combo = qobject_cast<QComboBox*>(widget); combo && combo->lineEdit())
        widget = combo->lineEdit();
    widget->setFocus(Qt::OtherFocusReason);
    if (auto* edit = qobject_cast<QLineEdit*>(widget))
        edit->selectAll();
    else if (auto* box = qobject_cast<QAbstractSpinBox*>(widget))
        box->selectAll();
    // QTest types Latin-1 only; other characters go in as key events carrying their text,
    // as an input method delivers them.
    for (const QChar c : text) {
        if (c.unicode() < 0x80) {
            QTest::keyClick(widget, c.toLatin1());
            continue;
        }
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &release);
    }
}

void PressKey(QWidget* widget, Qt::Key key)
{
    widget->setFocus(Qt::OtherFocusReason);
    QTest::keyClick(widget, key);
}

bool ShowAndWait(QWidget* widget)
{
    widget->show();
    return QTest::qWaitForWindowExposed(widget);
}

} // namespace vorn::editortest
