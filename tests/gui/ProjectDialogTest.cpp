// The project dialog and the New and Modify commands over a real database file: the order of
// the checks with their tabs and messages, the keyboard rules, and what New and Modify write
// to the table and the project list.
#include "EditorTestSupport.h"
#include "GuiTestSupport.h"
#include "app/MainFrame.h"
#include "app/Startup.h"
#include "editor/CDestFtpOptions.h"
#include "editor/EditorState.h"
#include "editor/FTPNew.h"
#include "editor/FTPRule.h"
#include "editor/ProjectCommands.h"
#include "editor/ProjectEditor.h"
#include "gui/NumberBox.h"
#include "gui/Prompt.h"
#include "store/ProjectDb.h"
#include "store/ProjectOptions.h"
#include "views/VornBackupView.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <sqlite3.h>

using namespace vorn::editortest;

namespace {

// 5 March 2012, 10:00:00 local time: the list's reference time for next backup times.
std::time_t FixedNow()
{
    std::tm tm {};
    tm.tm_year = 112;
    tm.tm_mon = 2;
    tm.tm_mday = 5;
    tm.tm_hour = 10;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

vorn::BackupProject Stored(const char* name)
{
    vorn::BackupProject p;
    p.ftpname = name;
    p.ftpip = "ftp.example.net";
    p.ftpport = "21"; // OK refuses a port the run would refuse, an empty one too
    p.ftpsource = "/www";
    p.ftpdest = "/srv/backup";
    p.ftptype = 1;
    p.ftpplanmode = 2;
    p.ftpplan = { 1056 };
    p.ftphour = 22;
    return p;
}

// The rectangle of a widget in its window's coordinates.
QRect InWindow(const QWidget* widget)
{
    return QRect(widget->mapTo(widget->window(), QPoint(0, 0)), widget->size());
}

// The fields under `area` a user can reach with Tab: shown, enabled, taking the focus
// themselves, and not a part of another such field (the edit inside a combo box).
QList<QWidget*> Reachable(QWidget* area)
{
    QList<QWidget*> fields;
    for (QWidget* w : area->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(area->window()) || !w->isEnabled() || !(w->focusPolicy() & Qt::TabFocus)
            || w->focusProxy())
            continue;
        bool part = false;
        for (QWidget* up = w->parentWidget(); up && up != area; up = up->parentWidget())
            part = part || (up->focusPolicy() & Qt::TabFocus);
        if (!part)
            fields << w;
    }
    return fields;
}

// Presses Tab from `start` until the focus comes back to it (or 100 presses), and says what
// is wrong with the order in which the fields under `area` were visited: each must come
// below the one before, or right of it on the same line; every reachable one exactly once;
// `after` must follow them. Empty when nothing is wrong.
QString TabOrderFault(QWidget* start, QWidget* area, const QStringList& after)
{
    QWidget* window = start->window();
    start->setFocus(Qt::TabFocusReason);
    start = window->focusWidget(); // its focus proxy, if it has one
    QList<QWidget*> stops;
    for (int press = 0; press < 100; ++press) {
        QTest::keyClick(window->focusWidget(), Qt::Key_Tab);
        stops << window->focusWidget();
        if (stops.back() == start)
            break;
    }
    QStringList names;
    QList<QWidget*> inArea;
    for (QWidget* stop : stops) {
        names << stop->objectName();
        if (area->isAncestorOf(stop))
            inArea << stop;
    }
    const QString visited = names.join(' ');
    for (qsizetype i = 1; i < inArea.size(); ++i) {
        const QRect a = InWindow(inArea[i - 1]);
        const QRect b = InWindow(inArea[i]);
        const bool below = b.top() >= a.bottom() - 3;
        const bool rightOnTheLine = b.top() < a.bottom() && b.left() >= a.right() - 3;
        if (!below && !rightOnTheLine)
            return QString("%1 before %2: %3")
                .arg(inArea[i - 1]->objectName(), inArea[i]->objectName(), visited);
    }
    const QList<QWidget*> reachable = Reachable(area);
    if (QSet<QWidget*>(inArea.begin(), inArea.end()) != QSet<QWidget*>(reachable.begin(), reachable.end())
        || inArea.size() != reachable.size())
        return "not every field once: " + visited;
    const qsizetype next = inArea.isEmpty() ? -1 : stops.indexOf(inArea.back()) + 1;
    if (names.mid(next, after.size()) != after)
        return "not followed by " + after.join(' ') + ": " + visited;
    return {};
}

// The seven cells of a list row.
QStringList Cells(CVornBackupView& view, int row)
{
    QStringList cells;
    for (int column = 0; column < ProjectListModel::ColumnCount; ++column)
        cells << view.model()->Cell(row, column);
    return cells;
}

} // namespace

class ProjectDialogTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    std::unique_ptr<vorn::ProjectDb> db_;
    std::unique_ptr<CVornBackupView> view_;
    vorn::EditorState state_;

    // The project list as the main window shows it, filled from the table.
    void OpenList()
    {
        view_ = std::make_unique<CVornBackupView>();
        view_->setClock([] { return FixedNow(); });
        view_->FillProjectList(db_.get());
        view_->resize(900, 300);
        QVERIFY(ShowAndWait(view_.get()));
    }

    // New, or Modify of the row clicked; null when no dialog opened.
    FTPNew* Open(int modifyRow = -1)
    {
        if (modifyRow >= 0)
            vorn::guitest::ClickRow(view_->list(), modifyRow);
        // What the window does with a stored project (AttachProjectEditor).
        const auto stored = [view = view_.get()](const std::string& oldName, const vorn::BackupProject& p) {
            view->ShowStoredProject(QString::fromStdString(oldName), p);
        };
        FTPNew* dialog = modifyRow >= 0 ? vorn::ModifyProjectCommand(view_.get(), db_.get(), state_,
                             view_->BackupNameAt(view_->selectedRow()).toStdString(), stored)
                                        : vorn::NewProjectCommand(view_.get(), db_.get(), state_, stored);
        return dialog && QTest::qWaitForWindowExposed(dialog) ? dialog : nullptr;
    }

    // Closes whatever dialog a test left open, so the next one starts clean.
    void CloseDialogs()
    {
        for (FTPNew* dialog : view_->findChildren<FTPNew*>()) {
            for (CDestFtpOptions* destination : dialog->findChildren<CDestFtpOptions*>())
                destination->reject();
            dialog->reject();
        }
        QTRY_VERIFY_WITH_TIMEOUT(!state_.dialogOpen, 20000);
    }

    // The widget that has (or gets, once its window is active) the keyboard focus: in the
    // destination dialog while it is open, else in the project dialog.
    static QString FocusedIn(FTPNew* dialog)
    {
        QWidget* window = dialog->copyRulesPage()->destinationDialog();
        if (window) {
            if (!QTest::qWaitForWindowExposed(window))
                return "<destination dialog not shown>";
        } else {
            window = dialog;
        }
        return window->focusWidget() ? window->focusWidget()->objectName() : QString("<none>");
    }

    static bool WaitClosed(QWidget* dialog)
    {
        return QTest::qWaitFor([dialog] { return !dialog->isVisible(); }, 20000);
    }

    static void TypeLocalProject(FTPNew* dialog, const QString& name)
    {
        TypeInto(Child<QLineEdit>(dialog, "projectNameEdit"), name);
        TypeInto(Child<QLineEdit>(dialog, "serverEdit"), "127.0.0.1");
        TypeInto(Child<QLineEdit>(dialog, "localPathEdit"), "/srv/backup/new");
    }

    // Switches to Ftp->Ftp and cancels the destination dialog that opens by itself.
    static bool ChooseFtpToFtpAndCancel(FTPNew* dialog)
    {
        dialog->tabs()->setCurrentIndex(FTPNew::CopyRulesTab);
        if (!Click(dialog, "ftpFtpRadio"))
            return false;
        CDestFtpOptions* destination = dialog->copyRulesPage()->destinationDialog();
        if (!destination || !QTest::qWaitForWindowExposed(destination))
            return false;
        destination->reject();
        return QTest::qWaitFor([dialog] { return !dialog->copyRulesPage()->destinationDialog(); }, 20000);
    }

private slots:
    void initTestCase() { QVERIFY(dir_.isValid()); }

    void init()
    {
        Prompt::resetForTest();
        const QString path = dir_.filePath(QString("db-%1.db").arg(QTest::currentTestFunction()));
        QFile::remove(path);
        db_ = vorn::ProjectDb::Open(path.toStdString()).db;
        QVERIFY(db_);
        state_ = vorn::EditorState {};
    }

    void cleanup()
    {
        if (view_)
            CloseDialogs();
        view_.reset();
        db_.reset();
    }

    void checksOfANewProject_data()
    {
        QTest::addColumn<int>("stage"); // how much of the project is typed in
        QTest::addColumn<int>("tab");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("focus"); // the field the message names
        QTest::newRow("everything empty")
            << 0 << 0 << "Project name can't be blank, please enter project name!"
            << "projectNameEdit";
        QTest::newRow("blank name passes")
            << 1 << 0 << "Server address is blank, please enter server address!"
            << "serverEdit";
        QTest::newRow("no local path") << 2 << 0 << "Local path is blank, please enter or select local path!"
                                       << "localPathEdit";
        QTest::newRow("Ftp->Ftp needs no local path but a destination")
            << 3 << 1 << "Destination FTP Server address is blank, please enter destination address!"
            << "destServerEdit";
    }

    void checksOfANewProject()
    {
        QFETCH(int, stage);
        QFETCH(int, tab);
        QFETCH(QString, message);
        QFETCH(QString, focus);
        OpenList();
        FTPNew* dialog = Open();
        QVERIFY(dialog);
        if (stage >= 1)
            TypeInto(Child<QLineEdit>(dialog, "projectNameEdit"), "  ");
        if (stage >= 2)
            TypeInto(Child<QLineEdit>(dialog, "serverEdit"), "127.0.0.1");
        if (stage >= 3)
            QVERIFY(ChooseFtpToFtpAndCancel(dialog));
        dialog->tabs()->setCurrentIndex(FTPNew::TaskSchedulerTab);
        QVERIFY(Click(dialog, "monthDay15"));

        // Every OK collects the pages again; the schedule days are not doubled.
        QVERIFY(Click(dialog, "okButton"));
        QVERIFY(Click(dialog, "okButton"));
        QCOMPARE(state_.editedProject.ftpplan, std::vector<std::int32_t> { 1035 });
        QCOMPARE(Prompt::shownCount(), 2);
        QCOMPARE(Prompt::lastShown().text, message);
        QCOMPARE(Prompt::lastShown().caption, QString("Warning"));
        QCOMPARE(dialog->tabs()->currentIndex(), tab);
        QCOMPARE(FocusedIn(dialog), focus);
        QVERIFY(dialog->isVisible());
        QVERIFY(state_.dialogOpen);
        QCOMPARE(vorn::QueryProjectList(db_.get()).size(), std::size_t(0));
    }

    void checksOfStoredProjects_data()
    {
        QTest::addColumn<QString>("emptyField");
        QTest::addColumn<int>("tab");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("focus");
        QTest::newRow("source path") << "ftpsource" << 0
                                     << "Source FTP path is blank, please select source path!"
                                     << "ftpPathEdit";
        QTest::newRow("destination server")
            << "ftpdestip" << 1
            << "Destination FTP Server address is blank, please enter destination address!"
            << "destServerEdit";
        QTest::newRow("destination path")
            << "ftpdestpath" << 1 << "Destination FTP path is blank, please select destination path!"
            << "destPathEdit";
    }

    void checksOfStoredProjects()
    {
        QFETCH(QString, emptyField);
        QFETCH(int, tab);
        QFETCH(QString, message);
        QFETCH(QString, focus);
        vorn::BackupProject stored = Stored("Mirror");
        stored.ftptype = 2;
        stored.ftpdest.clear(); // Ftp->Ftp needs no local path
        stored.ftpdestip = "mirror.example.org";
        stored.ftpdestpath = "/copies";
        stored.ftpdestuser = "m";
        if (emptyField == "ftpsource")
            stored.ftpsource.clear();
        else if (emptyField == "ftpdestip")
            stored.ftpdestip.clear();
        else
            stored.ftpdestpath.clear();
        QVERIFY(vorn::InsertProject(db_.get(), stored));
        OpenList();
        FTPNew* dialog = Open(0);
        QVERIFY(dialog);
        QVERIFY(Click(dialog, "okButton"));
        QCOMPARE(Prompt::lastShown().text, message);
        QCOMPARE(dialog->tabs()->currentIndex(), tab);
        QCOMPARE(FocusedIn(dialog), focus);
        CDestFtpOptions* destination = dialog->copyRulesPage()->destinationDialog();
        if (tab == 1) {
            // The destination dialog opens at once with what the project holds so far.
            QVERIFY(destination);
            QCOMPARE(Child<QLineEdit>(destination, "destServerEdit")->text(),
                QString::fromStdString(stored.ftpdestip));
            QCOMPARE(Child<QLineEdit>(destination, "destUserEdit")->text(), QString("m"));
            QCOMPARE(state_.lastDestination, vorn::DestinationOf(stored));
        } else {
            QVERIFY(!destination);
        }
    }

    // Typing goes into the project name at once, and Tab visits the fields of every page and
    // of the destination dialog top to bottom, left to right, then OK and Cancel.
    void focusAndTabOrderFollowTheLayout()
    {
        OpenList();
        FTPNew* dialog = Open();
        QVERIFY(dialog);
        QCOMPARE(FocusedIn(dialog), QString("projectNameEdit"));
        QVERIFY(QTest::qWaitForWindowActive(dialog));
        QTest::keyClicks(QApplication::focusWidget(), "Site");
        QCOMPARE(Child<QLineEdit>(dialog, "projectNameEdit")->text(), QString("Site"));

        // Each page as a user finds it at first, and the copy rules and scheduler pages
        // with their other choices enabled.
        const QStringList okCancel { "okButton", "cancelButton" };
        for (int tab = 0; tab < dialog->tabs()->count(); ++tab) {
            dialog->tabs()->setCurrentIndex(tab);
            QTest::qWait(0);
            const QString fault = TabOrderFault(dialog->tabs(), dialog->tabs()->currentWidget(), okCancel);
            QVERIFY2(fault.isEmpty(), qPrintable(dialog->tabs()->tabText(tab) + ": " + fault));
        }
        dialog->tabs()->setCurrentIndex(FTPNew::TaskSchedulerTab);
        for (const char* mode : { "weekRadio", "dayRadio" }) {
            QVERIFY(Click(dialog, mode));
            const QString fault = TabOrderFault(dialog->tabs(), dialog->tabs()->currentWidget(), okCancel);
            QVERIFY2(fault.isEmpty(), qPrintable(QString(mode) + ": " + fault));
        }

        dialog->tabs()->setCurrentIndex(FTPNew::CopyRulesTab);
        QVERIFY(Click(dialog, "compressCheck"));
        QVERIFY(Click(dialog, "ftpFtpRadio"));
        CDestFtpOptions* destination = dialog->copyRulesPage()->destinationDialog();
        QVERIFY(destination && QTest::qWaitForWindowExposed(destination));
        QCOMPARE(FocusedIn(dialog), QString("destServerEdit"));
        const QString fault
            = TabOrderFault(Child<QPushButton>(destination, "destCancelButton"), destination, {});
        QVERIFY2(fault.isEmpty(), qPrintable("destination dialog: " + fault));
        destination->reject();
        QTRY_VERIFY(!dialog->copyRulesPage()->destinationDialog());
        const QString pageFault = TabOrderFault(dialog->tabs(), dialog->copyRulesPage(), okCancel);
        QVERIFY2(pageFault.isEmpty(), qPrintable("copy rules: " + pageFault));
    }

    void cancelledDestinationLeadsToTheMessageAndTheDialogAgain()
    {
        OpenList();
        FTPNew* dialog = Open();
        QVERIFY(dialog);
        TypeLocalProject(dialog, "Mirror");
        QVERIFY(ChooseFtpToFtpAndCancel(dialog));
        for (int round = 1; round <= 2; ++round) {
            QVERIFY(Click(dialog, "okButton"));
            QCOMPARE(Prompt::shownCount(), round);
            QCOMPARE(Prompt::lastShown().text,
                QString("Destination FTP Server address is blank, please enter destination address!"));
            QCOMPARE(dialog->tabs()->currentIndex(), int(FTPNew::CopyRulesTab));
            CDestFtpOptions* destination = dialog->copyRulesPage()->destinationDialog();
            QVERIFY(destination);
            QVERIFY(QTest::qWaitForWindowExposed(destination));
            QCOMPARE(Child<QLineEdit>(destination, "destPortEdit")->text(), QString("21"));
            QVERIFY(Click(destination, "destCancelButton"));
            QTRY_VERIFY_WITH_TIMEOUT(!dialog->copyRulesPage()->destinationDialog(), 20000);
        }
        QVERIFY(dialog->isVisible());
    }

    void enterAndEscapeNeverCloseTheDialog()
    {
        OpenList();
        FTPNew* dialog = Open();
        QVERIFY(dialog);
        TypeLocalProject(dialog, "Complete"); // OK would succeed: Enter must not press it
        int fields = 0;
        for (int tab = 0; tab < dialog->tabs()->count(); ++tab) {
            dialog->tabs()->setCurrentIndex(tab);
            QWidget* page = dialog->tabs()->widget(tab);
            for (QWidget* target : page->findChildren<QWidget*>()) {
                const bool field = qobject_cast<QLineEdit*>(target) || qobject_cast<QAbstractSpinBox*>(target)
                    || qobject_cast<QComboBox*>(target) || qobject_cast<QPushButton*>(target);
                if (!field || !target->isVisible() || !target->isEnabled())
                    continue;
                for (const Qt::Key key : { Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape })
                    PressKey(target, key);
                ++fields;
            }
        }
        for (const char* name : { "okButton", "cancelButton" }) {
            for (const Qt::Key key : { Qt::Key_Return, Qt::Key_Escape })
                PressKey(Child<QPushButton>(dialog, name), key);
        }
        QVERIFY2(fields > 15, qPrintable(QString::number(fields)));
        QVERIFY(dialog->isVisible());
        QVERIFY(state_.dialogOpen);
        QCOMPARE(Prompt::shownCount(), 0);
        QCOMPARE(vorn::QueryProjectList(db_.get()).size(), std::size_t(0));
        // The close box acts as Cancel.
        dialog->close();
        QVERIFY(WaitClosed(dialog));
        QTRY_VERIFY_WITH_TIMEOUT(!state_.dialogOpen, 20000);
        QCOMPARE(vorn::QueryProjectList(db_.get()).size(), std::size_t(0));
    }

    void newStoresTheProjectAndAppendsItsRow()
    {
        QVERIFY(vorn::InsertProject(db_.get(), Stored("Alpha")));
        OpenList();
        // What an earlier dialog left behind must not reach the new project.
        state_.editedProject = Stored("Leftover");
        state_.editedProject.ftpdestip = "old-mirror.example.org";
        state_.editedProject.ftpdestpass = "old-secret";
        state_.editedProject.ftpcompass = "old-zip";
        FTPNew* dialog = Open();
        QVERIFY(dialog);
        QVERIFY(state_.editedProject.ftpdestip.empty());
        TypeLocalProject(dialog, "Beta");
        dialog->tabs()->setCurrentIndex(FTPNew::TaskSchedulerTab);
        QVERIFY(Click(dialog, "dayRadio"));
        QVERIFY(Click(dialog, "fixedTimeRadio"));
        TypeInto(Child<NumberBox>(dialog, "fixedHourBox"), "14");
        TypeInto(Child<NumberBox>(dialog, "fixedMinuteBox"), "0");
        QVERIFY(Click(dialog, "okButton"));
        QVERIFY(WaitClosed(dialog));
        QTRY_VERIFY_WITH_TIMEOUT(!state_.dialogOpen, 20000);
        QCOMPARE(Prompt::shownCount(), 0);

        vorn::BackupProject loaded;
        QVERIFY(vorn::LoadProject(db_.get(), "Beta", loaded));
        QCOMPARE(loaded, state_.editedProject);
        QCOMPARE(loaded.ftpsource, std::string("/"));
        QCOMPARE(loaded.ftpdaymode, 3);
        QVERIFY(loaded.ftpdestip.empty() && loaded.ftpdestpass.empty() && loaded.ftpcompass.empty());

        QCOMPARE(view_->rowCount(), 2);
        QCOMPARE(Cells(*view_, 1),
            QStringList({ "Beta", "ftp://127.0.0.1/", "/srv/backup/new", "", "", "03/05/2012 14:00:00",
                "Every day: 14:0 auto backup." }));

        // The same name again is refused, without an icon, on the first tab.
        dialog = Open();
        QVERIFY(dialog);
        TypeLocalProject(dialog, "Beta");
        dialog->tabs()->setCurrentIndex(FTPNew::FilterRulesTab);
        QVERIFY(Click(dialog, "okButton"));
        QCOMPARE(
            Prompt::lastShown().text, QString("Project name has being, please enter another project name!"));
        QCOMPARE(dialog->tabs()->currentIndex(), int(FTPNew::DirectorySettingsTab));
        QVERIFY(dialog->isVisible());
        QVERIFY(Click(dialog, "cancelButton"));
        QVERIFY(WaitClosed(dialog));
        QCOMPARE(view_->rowCount(), 2);
        QCOMPARE(vorn::QueryProjectList(db_.get()).size(), std::size_t(2));
    }

    void modifyRenamesAndRewritesTheRow()
    {
        QVERIFY(vorn::InsertProject(db_.get(), Stored("Alpha")));
        QVERIFY(vorn::InsertProject(db_.get(), Stored("Beta")));
        OpenList();
        view_->SetTransferStatus("Alpha", "Success");
        view_->SetLastBackupTime("Alpha", "03/04/2012 22:00:05");
        state_.lastDestination = { "/x", "confirmed.example.org", "", "", "21" };

        // A rename onto another stored project is refused.
        FTPNew* dialog = Open(0);
        QVERIFY(dialog);
        TypeInto(Child<QLineEdit>(dialog, "projectNameEdit"), "Beta");
        QVERIFY(Click(dialog, "okButton"));
        QCOMPARE(
            Prompt::lastShown().text, QString("Project name has being, please enter another project name!"));
        QVERIFY(dialog->isVisible());
        // A change of letter case is a rename too: it is checked, finds nothing, and saves.
        TypeInto(Child<QLineEdit>(dialog, "projectNameEdit"), "alpha");
        dialog->tabs()->setCurrentIndex(FTPNew::TaskSchedulerTab);
        QVERIFY(Click(dialog, "weekDay1058"));
        QVERIFY(Click(dialog, "okButton"));
        QVERIFY(WaitClosed(dialog));
        QTRY_VERIFY_WITH_TIMEOUT(!state_.dialogOpen, 20000);
        QCOMPARE(Prompt::shownCount(), 1);

        vorn::BackupProject loaded;
        QVERIFY(!vorn::LoadProject(db_.get(), "Alpha", loaded));
        QVERIFY(vorn::LoadProject(db_.get(), "alpha", loaded));
        QCOMPARE(loaded.ftpplan, (std::vector<std::int32_t> { 1056, 1058 }));
        // The status and the last backup time stay (the run that made them is still the last),
        // schedule cells follow the change.
        QCOMPARE(Cells(*view_, 0),
            QStringList(
                { "alpha", "ftp://ftp.example.net/www", "/srv/backup", "Success", "03/04/2012 22:00:05",
                    "03/05/2012 22:00:00", "Every week: Monday, Wennesday; 22:0 auto backup." }));
        QCOMPARE(view_->BackupNameAt(1), QString("Beta"));
        // Modify ends by resetting the shared state.
        QCOMPARE(state_.lastDestination, vorn::DestinationSettings {});
        QVERIFY(!state_.isModifying);
        QVERIFY(state_.selectedName.empty());

        // Saving under the unchanged name needs no existence check (it would say "taken").
        dialog = Open(1);
        QVERIFY(dialog);
        TypeInto(Child<QLineEdit>(dialog, "userEdit"), "new-user");
        QVERIFY(Click(dialog, "okButton"));
        QVERIFY(WaitClosed(dialog));
        QCOMPARE(Prompt::shownCount(), 1);
        QVERIFY(vorn::LoadProject(db_.get(), "Beta", loaded));
        QCOMPARE(loaded.ftpuser, std::string("new-user"));
    }

    void modifyOfAMissingProjectOpensNothing()
    {
        QVERIFY(vorn::InsertProject(db_.get(), Stored("Alpha")));
        OpenList();
        // No row under the mouse: nothing to modify.
        QVERIFY(!vorn::ModifyProjectCommand(view_.get(), db_.get(), state_, std::string(), {}));
        QVERIFY(vorn::DeleteProject(db_.get(), "Alpha"));
        QVERIFY(!Open(0));
        QVERIFY(!state_.dialogOpen);
        QVERIFY(state_.selectedName.empty());
        QCOMPARE(view_->BackupNameAt(0), QString("Alpha"));
    }

    void theMainWindowCommandsOpenTheDialog()
    {
        QVERIFY(vorn::InsertProject(db_.get(), Stored("Alpha")));
        CMainFrame frame(db_.get(), QString::fromUtf8(VORN_SOURCE_DIR));
        auto* editor = vorn::AttachProjectEditor(frame, db_.get());
        QVERIFY(ShowAndWait(&frame));
        const auto openDialog = [&frame] { return frame.findChild<FTPNew*>(); };

        // The menu's New, then the tray's New.
        for (const char* action : { "actionNew", "notifyNew" }) {
            QVERIFY(vorn::guitest::TriggerAction(&frame, action));
            FTPNew* dialog = openDialog();
            QVERIFY2(dialog, action);
            QCOMPARE(dialog->windowTitle(), QString("New Project"));
            QCOMPARE(dialog->tabs()->tabText(3), QString("Task Scheduler"));
            // One project dialog at a time: the tray's New opens no second one.
            QVERIFY(!vorn::NewProjectCommand(&frame, db_.get(), editor->state(), {}));
            QVERIFY(Click(dialog, "cancelButton"));
            QTRY_VERIFY_WITH_TIMEOUT(!openDialog(), 20000);
        }

        // Modify acts on the row last clicked and rewrites it on OK.
        vorn::guitest::ClickRow(frame.projectView()->list(), 0);
        QVERIFY(vorn::guitest::TriggerAction(&frame, "actionModify"));
        FTPNew* dialog = openDialog();
        QVERIFY(dialog);
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        QCOMPARE(dialog->windowTitle(), QString("Modify Plan"));
        QVERIFY(editor->state().isModifying);
        TypeInto(Child<QLineEdit>(dialog, "projectNameEdit"), "Alpha 2");
        QSignalSpy stored(editor, &ProjectEditor::projectStored);
        QVERIFY(Click(dialog, "okButton"));
        QTRY_VERIFY_WITH_TIMEOUT(!openDialog(), 20000);
        // The editor says what it stored; the window, not the editor, rewrites the row.
        QCOMPARE(stored.size(), 1);
        QCOMPARE(stored[0][0].toString(), QString("Alpha"));
        QCOMPARE(frame.projectView()->BackupNameAt(0), QString("Alpha 2"));
        vorn::BackupProject loaded;
        QVERIFY(vorn::LoadProject(db_.get(), "Alpha 2", loaded));
        QCOMPARE(Prompt::shownCount(), 0);
    }

    void aRefusedStoreIsReportedNotListed()
    {
        OpenList();
        // Another program damages the table while the program runs.
        sqlite3* other = nullptr;
        QCOMPARE(sqlite3_open(db_->path().c_str(), &other), SQLITE_OK);
        QCOMPARE(sqlite3_exec(other, "drop table gm_ftp_plantable", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(other);

        FTPNew* dialog = Open();
        QVERIFY(dialog);
        TypeLocalProject(dialog, "Lost");
        QVERIFY(Click(dialog, "okButton"));
        QVERIFY(WaitClosed(dialog));
        QCOMPARE(Prompt::shownCount(), 1);
        QVERIFY(Prompt::lastShown().text.contains("could not be saved"));
        QVERIFY(Prompt::lastShown().text.contains("Lost"));
        QCOMPARE(view_->rowCount(), 0);
    }

    // OK refuses what a run would refuse, and a Modify without a change keeps the row's
    // last backup time.
    void okRefusesWhatARunWouldRefuse()
    {
        QVERIFY(vorn::InsertProject(db_.get(), Stored("Zip Site")));
        vorn::BackupProject mirror = Stored("Mirror");
        mirror.ftptype = 2;
        mirror.ftpdest.clear();
        mirror.ftpdestip = "mirror.example.org";
        mirror.ftpdestpath = "/copies";
        mirror.ftpdestport = "70000";
        QVERIFY(vorn::InsertProject(db_.get(), mirror));
        OpenList();
        view_->SetLastBackupTime("Zip Site", "03/04/2012 22:00:05");

        // A source port out of range: the same words as the run's, the focus on the port.
        FTPNew* dialog = Open();
        QVERIFY(dialog);
        TypeLocalProject(dialog, "Ports");
        TypeInto(Child<QLineEdit>(dialog, "portEdit"), "70000");
        QVERIFY(Click(dialog, "okButton"));
        QCOMPARE(Prompt::lastShown().text,
            QString("Source server: The port \"70000\" is not a port number (1-65535)."));
        QCOMPARE(FocusedIn(dialog), QString("portEdit"));
        QVERIFY(dialog->isVisible());
        // A name that differs from a stored one only by blanks at its ends is taken.
        TypeInto(Child<QLineEdit>(dialog, "portEdit"), "2121");
        TypeInto(Child<QLineEdit>(dialog, "projectNameEdit"), " Zip Site ");
        QVERIFY(Click(dialog, "okButton"));
        QCOMPARE(
            Prompt::lastShown().text, QString("Project name has being, please enter another project name!"));
        QVERIFY(Click(dialog, "cancelButton"));
        QVERIFY(WaitClosed(dialog));
        QCOMPARE(vorn::QueryProjectList(db_.get()).size(), std::size_t(2));

        // A stored destination port out of range: told, and the destination dialog opens,
        // whose own OK refuses it too.
        dialog = Open(1);
        QVERIFY(dialog);
        QVERIFY(Click(dialog, "okButton"));
        QCOMPARE(Prompt::lastShown().text,
            QString("Destination server: The port \"70000\" is not a port number (1-65535)."));
        CDestFtpOptions* destination = dialog->copyRulesPage()->destinationDialog();
        QVERIFY(destination && QTest::qWaitForWindowExposed(destination));
        destination->accept();
        QCOMPARE(Prompt::lastShown().text, QString("The port \"70000\" is not a port number (1-65535)."));
        QVERIFY(destination->isVisible());
        CloseDialogs();

        // Modify, OK, no change: the last backup time stays.
        dialog = Open(0);
        QVERIFY(dialog);
        QVERIFY(Click(dialog, "okButton"));
        QVERIFY(WaitClosed(dialog));
        QTRY_VERIFY_WITH_TIMEOUT(!state_.dialogOpen, 20000);
        QCOMPARE(view_->model()->Cell(0, ProjectListModel::LastBackupTime), QString("03/04/2012 22:00:05"));
    }

    // The fifth page shows the stored options (the backup mode on the copy rules page) and
    // saves them with the project; a new project starts from the defaults.
    void optionsAreLoadedAndSavedWithTheProject()
    {
        QVERIFY(vorn::InsertProject(db_.get(), Stored("Alpha")));
        vorn::ProjectOptions stored { true, 30, 5, false, 0, 10 };
        stored.exclude = "cache/";
        stored.charset = "CP1251";
        QVERIFY(vorn::SaveProjectOptions(db_.get(), "Alpha", stored));
        OpenList();
        FTPNew* dialog = Open(0);
        QVERIFY(dialog);
        QCOMPARE(dialog->tabs()->tabText(FTPNew::OptionsTab), QString("Options"));
        QVERIFY(Child<QRadioButton>(dialog, "incrementalBackupRadio")->isChecked());
        QCOMPARE(Child<QSpinBox>(dialog, "fullEveryBox")->value(), 30);
        QCOMPARE(Child<QSpinBox>(dialog, "connectionsBox")->value(), 10);
        QVERIFY(!Child<QCheckBox>(dialog, "verifyArchiveCheck")->isChecked());
        QCOMPARE(Child<QComboBox>(dialog, "verifyCombo")->currentIndex(), 0);
        Child<QSpinBox>(dialog, "keepArchivesBox")->setValue(9);
        Child<QComboBox>(dialog, "verifyCombo")->setCurrentIndex(1);
        QCOMPARE(Child<QLineEdit>(dialog, "excludeEdit")->text(), QString("cache/"));
        QCOMPARE(Child<QComboBox>(dialog, "charsetBox")->currentText(), QString("CP1251"));
        Child<QLineEdit>(dialog, "excludeEdit")->setText("  cache/   *.log ");
        Child<QComboBox>(dialog, "charsetBox")->setCurrentText("GBK");
        dialog->tabs()->setCurrentIndex(FTPNew::CopyRulesTab);
        QVERIFY(Click(dialog, "fullBackupRadio"));
        QVERIFY(Click(dialog, "okButton"));
        QVERIFY(WaitClosed(dialog));
        vorn::ProjectOptions loaded;
        QVERIFY(vorn::LoadProjectOptions(db_.get(), "Alpha", loaded));
        vorn::ProjectOptions expected { false, 30, 9, false, 0, 10, {}, {}, false, true };
        expected.exclude = "cache/ *.log";
        expected.charset = "GBK";
        QVERIFY(loaded == expected);

        dialog = Open();
        QVERIFY(dialog);
        QCOMPARE(Child<QSpinBox>(dialog, "keepArchivesBox")->value(), 0);
        QVERIFY(Child<QCheckBox>(dialog, "verifyArchiveCheck")->isChecked());
        TypeLocalProject(dialog, "Beta");
        dialog->tabs()->setCurrentIndex(FTPNew::CopyRulesTab);
        QVERIFY(Click(dialog, "incrementalBackupRadio"));
        QVERIFY(Click(dialog, "okButton"));
        QVERIFY(WaitClosed(dialog));
        QVERIFY(vorn::LoadProjectOptions(db_.get(), "Beta", loaded));
        QVERIFY(loaded == (vorn::ProjectOptions { .incremental = true }));
    }
};

QTEST_MAIN(ProjectDialogTest)
#include "ProjectDialogTest.moc"
