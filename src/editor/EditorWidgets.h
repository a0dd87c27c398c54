#pragma once

#include <QString>

class QGridLayout;
class QGroupBox;
class QKeyEvent;
class QLayout;
class QLineEdit;
class QPushButton;
class QWidget;

namespace vorn::editor {

// An edit box with an object name, a length limit (0: none) and, optionally, digits only.
[[nodiscard]] QLineEdit* MakeEdit(
    QWidget* parent, const char* objectName, int maxLength, bool digitsOnly = false);

// A push button that Enter never presses: in the project dialog neither Enter nor Esc acts.
[[nodiscard]] QPushButton* MakeButton(QWidget* parent, const char* objectName, const QString& caption);

// The login fields of a server in `group`'s grid: "Server:" and "Port:" on row 0, "Username:"
// and "Password:" on row 1, the port box narrow. The caller places its Connect button.
QGridLayout* LayOutLoginFields(
    QGroupBox* group, QLineEdit* server, QLineEdit* port, QLineEdit* user, QLineEdit* password);

// The tool tip of every server field.
[[nodiscard]] QString ServerToolTip();

// Chains the keyboard focus of every widget under `root`'s layout in reading order: the
// layout's rows top to bottom, each row left to right, nested layouts and group boxes where
// they sit, a tab widget followed by its pages. Call once every widget is laid out.
void OrderTabsByLayout(QWidget* root);

// Enter, Return and Esc: the keys the project dialog and its pages swallow.
[[nodiscard]] bool IsEnterOrEscape(const QKeyEvent* event);

} // namespace vorn::editor
