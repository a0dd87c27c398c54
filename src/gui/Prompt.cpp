#include "gui/Prompt.h"

#include <QMessageBox>
#include <deque>

namespace {

struct PromptState {
    bool preset = false;
    std::deque<Prompt::Answer> answers;
    Prompt::Shown last;
    int shown = 0;
    int unanswered = 0;
};

PromptState& State()
{
    static PromptState state;
    return state;
}

// Returns true (and the answer) when a test preset answers this prompt.
bool TakePreset(const QString& text, const QString& caption, Prompt::Answer& answer)
{
    PromptState& s = State();
    s.last = { text, caption };
    ++s.shown;
    if (!s.preset)
        return false;
    if (s.answers.empty()) {
        ++s.unanswered;
        answer = Prompt::Answer::No;
    } else {
        answer = s.answers.front();
        s.answers.pop_front();
    }
    return true;
}

} // namespace

void Prompt::Warning(const QString& text, const QString& caption, QWidget* parent)
{
    Answer ignored {};
    if (TakePreset(text, caption, ignored))
        return;
    QMessageBox::warning(parent, caption, text);
}

void Prompt::Message(const QString& text, const QString& caption, QWidget* parent)
{
    Answer ignored {};
    if (TakePreset(text, caption, ignored))
        return;
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, parent);
    box.exec();
}

Prompt::Answer Prompt::Question(
    const QString& text, const QString& caption, QWidget* parent, bool warningIcon)
{
    Answer preset {};
    if (TakePreset(text, caption, preset))
        return preset;
    QMessageBox box(warningIcon ? QMessageBox::Warning : QMessageBox::NoIcon, caption, text,
        QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes ? Answer::Yes : Answer::No;
}

void Prompt::setNextAnswer(Answer answer)
{
    State().preset = true;
    State().answers.push_back(answer);
}

Prompt::Shown Prompt::lastShown()
{
    return State().last;
}

int Prompt::shownCount()
{
    return State().shown;
}

int Prompt::unansweredCount()
{
    return State().unanswered;
}

void Prompt::resetForTest()
{
    State() = PromptState {};
    State().preset = true;
}
