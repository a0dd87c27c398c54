#pragma once

#include <QString>

class QWidget;

// Every message box and question of the desktop program goes through here. The real
// implementation shows a QMessageBox; tests queue answers with setNextAnswer, and once they
// have, a prompt with no queued answer is answered No at once (and counted) instead of
// blocking a test on a modal box.
class Prompt {
public:
    enum class Answer { Yes, No, Ok };

    struct Shown {
        QString text;
        QString caption;
        QString detail;
    };

    static void Warning(const QString& text, const QString& caption, QWidget* parent = nullptr);
    // A plain message box: no icon, one OK button.
    static void Message(const QString& text, const QString& caption, QWidget* parent = nullptr);
    // `detail`, when given, is a line under the question that names what it is about (a
    // project's name: shown as plain text).
    [[nodiscard]] static Answer Question(const QString& text, const QString& caption,
        QWidget* parent = nullptr, bool warningIcon = false, const QString& detail = {});

    // Test support.
    static void setNextAnswer(Answer answer);
    [[nodiscard]] static Shown lastShown();
    [[nodiscard]] static int shownCount();
    [[nodiscard]] static int unansweredCount();
    static void resetForTest();
};
