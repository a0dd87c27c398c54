#include "editor/FTPNew.h"

#include "common/PortText.h"
#include "editor/CDestFtpOptions.h"
#include "editor/EditorState.h"
#include "editor/EditorWidgets.h"
#include "editor/FTPCatalog.h"
#include "editor/FTPOptions.h"
#include "editor/FTPRule.h"
#include "editor/KeyFileRow.h"
#include "editor/RuleEditorPage.h"
#include "editor/SchedulePage.h"
#include "gui/Prompt.h"
#include "store/ProjectDb.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

FTPNew::FTPNew(vorn::EditorState& state, vorn::ProjectDb* db, QWidget* parent)
    : QDialog(parent)
    , state_(state)
    , db_(db)
    , tabs_(new QTabWidget(this))
{
    setObjectName("projectDialog");
    setWindowTitle(state_.isModifying ? "Modify Plan" : "New Project");
    tabs_->setObjectName("projectTabs");

    // Built in tab order; each page fills itself as it is made.
    directoryPage_ = new FTPCatalog(state_, tabs_);
    copyRulesPage_ = new FTPRule(state_, tabs_);
    filterRulesPage_ = new CSelectRule(state_, tabs_);
    schedulerPage_ = new FTPScheme(state_, tabs_);
    optionsPage_ = new FTPOptions(state_, tabs_);
    tabs_->addTab(directoryPage_, "Directory Settings");
    tabs_->addTab(copyRulesPage_, "Copy Rules");
    tabs_->addTab(filterRulesPage_, "Filter Rules");
    tabs_->addTab(schedulerPage_, "Task Scheduler");
    tabs_->addTab(optionsPage_, "Options");
    tabs_->setCurrentIndex(DirectorySettingsTab);
    KeepOneKeyFile();

    okButton_ = vorn::editor::MakeButton(this, "okButton", "OK");
    cancelButton_ = vorn::editor::MakeButton(this, "cancelButton", "Cancel");
    connect(okButton_, &QPushButton::clicked, this, &FTPNew::accept);
    connect(cancelButton_, &QPushButton::clicked, this, &FTPNew::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(okButton_);
    buttons->addWidget(cancelButton_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(5, 5, 10, 10);
    layout->addWidget(tabs_, 1);
    layout->addLayout(buttons);
    resize(640, 560);
    vorn::editor::OrderTabsByLayout(this);
}

// The option ssh-key serves both servers: the source page's row and the destination dialog
// show and change the same value, kept in editedOptions while the dialog is open.
void FTPNew::KeepOneKeyFile()
{
    KeyFileRow* row = directoryPage_->keyFileRow();
    connect(row, &KeyFileRow::pathChanged, this,
        [this](const QString& path) { state_.editedOptions.sshKey = path.toStdString(); });
    connect(copyRulesPage_, &FTPRule::destinationDialogClosed, row, [this, row](bool accepted) {
        if (accepted)
            row->SetPath(QString::fromStdString(state_.editedOptions.sshKey));
    });
}

void FTPNew::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // Typing goes into the project name from the start.
    if (!shownOnce_) {
        shownOnce_ = true;
        directoryPage_->FocusField(FTPCatalog::Field::Name);
    }
}

void FTPNew::Collect()
{
    vorn::BackupProject& project = state_.editedProject;
    // The scheduler page appends its days; a second OK must not add them twice.
    project.ftpplan.clear();
    directoryPage_->Collect(project);
    copyRulesPage_->Collect(project);
    filterRulesPage_->Collect(project);
    schedulerPage_->Collect(project);
    optionsPage_->Collect(state_.editedOptions);
    directoryPage_->Collect(state_.editedOptions);
    state_.editedOptions.incremental = project.ftpbackmode == vorn::kIncrementalBackupMode;
}

void FTPNew::Refuse(FTPCatalog::Field field, const QString& message)
{
    tabs_->setCurrentIndex(DirectorySettingsTab);
    Prompt::Warning(message, "Warning", this);
    // After the box: closing it gives the focus back to where it was.
    directoryPage_->FocusField(field);
}

void FTPNew::accept()
{
    Collect();
    const vorn::BackupProject& project = state_.editedProject;
    using Field = FTPCatalog::Field;
    if (project.ftpname.empty())
        return Refuse(Field::Name, "Project name can't be blank, please enter project name!");
    if (project.ftpip.empty())
        return Refuse(Field::Server, "Server address is blank, please enter server address!");
    // The same reading of a port as the run's, so OK never stores a project that cannot run.
    if (const vorn::PortText port = vorn::ParsePort(project.ftpport); !port)
        return Refuse(Field::Port, QString::fromStdString("Source server: " + port.error));
    if (project.ftpsource.empty())
        return Refuse(Field::SourcePath, "Source FTP path is blank, please select source path!");
    if (project.type() != vorn::FtpType::FtpToFtp && project.ftpdest.empty())
        return Refuse(Field::LocalPath, "Local path is blank, please enter or select local path!");
    if (project.type() == vorn::FtpType::FtpToFtp
        && (project.ftpdestip.empty() || project.ftpdestpath.empty())) {
        // The destination dialog opens next with what has been entered so far, its focus on
        // the first blank field.
        state_.lastDestination = vorn::DestinationOf(project);
        tabs_->setCurrentIndex(CopyRulesTab);
        Prompt::Warning(project.ftpdestip.empty()
                ? "Destination FTP Server address is blank, please enter destination address!"
                : "Destination FTP path is blank, please select destination path!",
            "Warning", this);
        copyRulesPage_->ShowDestFtpOptions();
        return;
    }
    if (project.type() == vorn::FtpType::FtpToFtp) {
        if (const vorn::PortText port = vorn::ParsePort(project.ftpdestport); !port) {
            state_.lastDestination = vorn::DestinationOf(project);
            tabs_->setCurrentIndex(CopyRulesTab);
            Prompt::Warning(QString::fromStdString("Destination server: " + port.error), "Warning", this);
            copyRulesPage_->ShowDestFtpOptions();
            return;
        }
    }
    // A change of letter case is a new name, and is checked like one.
    const bool nameChanged = !state_.isModifying || project.ftpname != state_.selectedName;
    if (nameChanged && (vorn::ProjectExists(db_, project.ftpname) || NameLooksTaken(project.ftpname))) {
        tabs_->setCurrentIndex(DirectorySettingsTab);
        Prompt::Message("Project name has being, please enter another project name!", "Warning", this);
        directoryPage_->FocusField(Field::Name);
        return;
    }
    QDialog::accept();
}

bool FTPNew::NameLooksTaken(const std::string& name) const
{
    // "Zip Site " next to "Zip Site" would show as two identical rows: names that differ
    // only by blanks at either end count as the same. The project being modified is not
    // compared with itself.
    const QString wanted = QString::fromStdString(name).trimmed();
    for (const vorn::ProjectListRow& row : vorn::QueryProjectList(db_)) {
        const bool itself = state_.isModifying && row.ftpname == state_.selectedName;
        if (!itself && QString::fromStdString(row.ftpname).trimmed() == wanted)
            return true;
    }
    return false;
}

void FTPNew::keyPressEvent(QKeyEvent* event)
{
    // Neither Enter nor Esc closes the dialog: only OK, Cancel and the close box do.
    if (vorn::editor::IsEnterOrEscape(event)) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}
