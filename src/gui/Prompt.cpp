#include "gui/Prompt.h"

#include "gui/PlainText.h"

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
bool TakePreset(
    const QString& text, const QString& caption, Prompt::Answer& answer, const QString& detail = {})
{
    PromptState& s = State();
    s.last = { text, caption, detail };
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

// Prompts name projects, paths and servers' replies: shown as typed, never as markup.
int ShowPlain(QMessageBox::Icon icon, const QString& caption, const QString& text,
    QMessageBox::StandardButtons buttons, QWidget* parent, QMessageBox::StandardButton defaultButton,
    const QString& detail = {})
{
    QMessageBox box(icon, caption, text, buttons, parent);
    box.setTextFormat(Qt::PlainText);
    if (!detail.isEmpty())
        box.setInformativeText(vorn::AsPlainText(detail));
    if (defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(defaultButton);
    return box.exec();
}

} // namespace

void Prompt::Warning(const QString& text, const QString& caption, QWidget* parent)
{
    Answer ignored {};
    if (TakePreset(text, caption, ignored))
        return;
    ShowPlain(QMessageBox::Warning, caption, text, QMessageBox::Ok, parent, QMessageBox::NoButton);
}

void Prompt::Message(const QString& text, const QString& caption, QWidget* parent)
{
    Answer ignored {};
    if (TakePreset(text, caption, ignored))
        return;
    ShowPlain(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, parent, QMessageBox::NoButton);
}

Prompt::Answer Prompt::Question(
    const QString& text, const QString& caption, QWidget* parent, bool warningIcon, const QString& detail)
{
    Answer preset {};
    if (TakePreset(text, caption, preset, detail))
        return preset;
    const int answer = ShowPlain(warningIcon ? QMessageBox::Warning : QMessageBox::NoIcon, caption, text,
        QMessageBox::Yes | QMessageBox::No, parent, QMessageBox::No, detail);
    return answer == QMessageBox::Yes ? Answer::Yes : Answer::No;
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
