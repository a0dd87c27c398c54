#include "editor/ProjectEditor.h"

#include "app/MainFrame.h"
#include "editor/ProjectCommands.h"

ProjectEditor::ProjectEditor(CMainFrame* frame, vorn::ProjectDb* db)
    : QObject(frame)
    , frame_(frame)
    , db_(db)
{
    setObjectName("projectEditor");
    // The window's hooks go before its children do, so they never outlive this object.
    frame_->hooks().newProject
        = [this] { vorn::NewProjectCommand(frame_, db_, state_, frame_->projectView()); };
    frame_->hooks().modifyProject
        = [this] { vorn::ModifyProjectCommand(frame_, db_, state_, frame_->projectView()); };
}
