#pragma once

#include "editor/FTPCatalog.h"

#include <QDialog>
#include <string>

class QPushButton;
class QTabWidget;
class CSelectRule;
class FTPCatalog;
class FTPOptions;
class FTPRule;
class FTPScheme;

namespace vorn {
class ProjectDb;
struct EditorState;
} // namespace vorn

// The project dialog: four pages in tabs. OK gathers the pages into state.editedProject,
// checks it and closes only when it passes; the caller stores it. The dialog itself writes
// nothing to the database: it only asks whether a name is taken.
class FTPNew : public QDialog {
    Q_OBJECT
public:
    enum Tab { DirectorySettingsTab, CopyRulesTab, FilterRulesTab, TaskSchedulerTab, OptionsTab };

    // `state` and `db` must outlive the dialog. The pages read state.isModifying and
    // state.editedProject as they are built.
    FTPNew(vorn::EditorState& state, vorn::ProjectDb* db, QWidget* parent = nullptr);

    void accept() override;

    [[nodiscard]] QTabWidget* tabs() const { return tabs_; }
    [[nodiscard]] FTPCatalog* directoryPage() const { return directoryPage_; }
    [[nodiscard]] FTPRule* copyRulesPage() const { return copyRulesPage_; }
    [[nodiscard]] CSelectRule* filterRulesPage() const { return filterRulesPage_; }
    [[nodiscard]] FTPScheme* schedulerPage() const { return schedulerPage_; }
    [[nodiscard]] FTPOptions* optionsPage() const { return optionsPage_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void Collect();
    // Selects the directory settings tab, shows the warning and puts the focus on the field
    // it names; the dialog stays open.
    void Refuse(FTPCatalog::Field field, const QString& message);
    void KeepOneKeyFile();
    // True when another stored project has this name but for blanks at its ends.
    [[nodiscard]] bool NameLooksTaken(const std::string& name) const;

    vorn::EditorState& state_;
    vorn::ProjectDb* db_;
    QTabWidget* tabs_;
    FTPCatalog* directoryPage_;
    FTPRule* copyRulesPage_;
    CSelectRule* filterRulesPage_;
    FTPScheme* schedulerPage_;
    FTPOptions* optionsPage_;
    QPushButton* okButton_;
    QPushButton* cancelButton_;
    bool shownOnce_ = false;
};
