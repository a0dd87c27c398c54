#pragma once

#include <QObject>
#include <QString>
#include <QWidget>
#include <Qt>

class QLineEdit;

namespace vorn::editortest {

// The child named `name` of `root`. A missing name is a broken test or a renamed control:
// the whole test program stops with the name in the message.
template <class T> T* Child(const QObject* root, const char* name)
{
    T* child = root->findChild<T*>(QString::fromLatin1(name));
    if (!child)
        qFatal("no %s named \"%s\"", T::staticMetaObject.className(), name);
    return child;
}

// Clicks the middle of a button, radio button or check box, as a user would. False (with a
// warning naming it) when it is missing, hidden or disabled.
[[nodiscard]] bool Click(const QObject* root, const char* name);

// Replaces the text of an edit by typing: select all, then the keys of `text`.
void TypeInto(QWidget* widget, const QString& text);

// Presses a key on the widget that has (or is given) the focus.
void PressKey(QWidget* widget, Qt::Key key);

// Shows a top-level widget and waits until the platform has exposed it.
[[nodiscard]] bool ShowAndWait(QWidget* widget);

} // namespace vorn::editortest
