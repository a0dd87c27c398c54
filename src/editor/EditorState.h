#pragma once

#include "editor/DestinationSettings.h"
#include "store/BackupProject.h"
#include "store/ProjectOptions.h"

#include <string>

namespace vorn {

// What the project dialog, its pages and the New and Modify commands share. The main frame
// owns one for the whole program; it is only touched on the GUI thread.
struct EditorState {
    // The project being edited: loaded before Modify, gathered by the pages on OK.
    BackupProject editedProject;
    // Its options beside the plan table (defaults for New), gathered by the "Options" page.
    ProjectOptions editedOptions;
    // Set while a Modify dialog is open: the pages then fill themselves from editedProject.
    bool isModifying = false;
    // The name of the project being modified, as it was before the dialog opened.
    std::string selectedName;
    // What a new project's destination dialog starts with: the last confirmed values.
    DestinationSettings lastDestination;
    // One project dialog at a time: the tray's New stays reachable while one is open.
    bool dialogOpen = false;
};

} // namespace vorn
