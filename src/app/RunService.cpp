#include "app/RunService.h"

#include <QStringList>

RunService::RunService(QObject* parent)
    : QObject(parent)
{
    setObjectName("runService");
}

bool RunService::TogglePause()
{
    const vorn::RunState was = state();
    if (was == vorn::RunState::Idle)
        return false;
    // The RunControl refuses when the run ended in the meantime: then nothing changes.
    if (was == vorn::RunState::Running ? !control_.Pause() : !control_.Resume())
        return false;
    figures_.ResetSpeed();
    emit runPaused(projectName(), was == vorn::RunState::Running);
    emit stateChanged();
    return true;
}

void RunService::Stop()
{
    if (state() == vorn::RunState::Idle)
        return;
    control_.Stop();
    emit stateChanged();
}

void RunService::NoteRunStarted()
{
    failReason_.clear();
    failedFiles_ = 0;
    failedFolders_ = 0;
    emit stateChanged();
}

void RunService::NoteItemFailed(bool folder)
{
    ++(folder ? failedFolders_ : failedFiles_);
}

void RunService::NoteRunFailed(const QString& reason)
{
    failReason_ = reason;
}

void RunService::NoteRunFinished()
{
    emit stateChanged();
}

QString RunService::FailureText(vorn::RunOutcome outcome) const
{
    if (!failReason_.isEmpty())
        return failReason_;
    return outcome == vorn::RunOutcome::Failed
        ? QString("The project could not be loaded from the database.")
        : QString("The run failed; the History command (Command menu) has what was recorded.");
}

QString RunService::FailedItemsText() const
{
    QStringList parts;
    if (failedFiles_ > 0)
        parts << QString("%1 file(s) failed").arg(failedFiles_);
    if (failedFolders_ > 0)
        parts << QString("%1 folder(s) failed").arg(failedFolders_);
    return parts.join(", ");
}
