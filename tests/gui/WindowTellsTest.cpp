// What the window tells the user, on the offscreen platform with a real SQLite file and real
// FTP servers on 127.0.0.1: failed files and failed runs on screen, one selection for the
// commands, the panes and the keyboard, rules that let nothing through, a layout that stays
// put, and server texts that show as plain text whatever they look like.
#include "GuiTestSupport.h"
#include "app/DesktopRuns.h"
#include "app/MainFrame.h"
#include "editor/EditorState.h"
#include "editor/RuleEditorPage.h"
#include "gui/PlainText.h"
#include "gui/Prompt.h"
#include "store/ProjectDb.h"
#include "support/FtpServer.h"
#include "support/ListeningPort.h"
#include "support/TestFiles.h"
#include "views/HistoryDialog.h"
#include "views/VornBackupView.h"
#include "views/VornRemoteTrans.h"
#include "views/VornStatus.h"

#include <QComboBox>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QSplitter>
#include <QStatusBar>
#include <QTableView>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QToolTip>
#include <fcntl.h>
#include <memory>
#include <sys/inotify.h>
#include <unistd.h>

using namespace vorn::guitest;
using vorn::test::FtpServer;
using vorn::test::FtpServerOptions;
using Mark = ProjectListModel::StatusMark;

namespace {

// Counts every opening of one file from the moment it is made (inotify, no polling).
class OpenWatch {
public:
    explicit OpenWatch(const QString& path)
        : fd_(inotify_init1(IN_NONBLOCK))
    {
        if (fd_ >= 0)
            watch_ = inotify_add_watch(fd_, path.toLocal8Bit().constData(), IN_OPEN | IN_ACCESS);
    }
    ~OpenWatch()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    [[nodiscard]] bool watching() const { return watch_ >= 0; }
    // The events seen so far.
    int Count()
    {
        alignas(inotify_event) char buffer[4096];
        for (ssize_t got; (got = read(fd_, buffer, sizeof buffer)) > 0;)
            for (char* at = buffer; at < buffer + got;
                 at += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(at)->len)
                ++events_;
        return events_;
    }

private:
    int fd_;
    int watch_ = -1;
    int events_ = 0;
};

// The tool tip shown for a cell of `list`, as the user would get it by resting the mouse.
QString ShownToolTip(QTableView* list, const QModelIndex& index)
{
    const QRect cell = list->visualRect(index);
    QHelpEvent help(QEvent::ToolTip, cell.center(), list->viewport()->mapToGlobal(cell.center()));
    QCoreApplication::sendEvent(list->viewport(), &help);
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* label = qobject_cast<QLabel*>(widget); label && label->objectName() == "qtooltip_label")
            if (label->isVisible()) {
                (void)label->grab(); // drawn, as the screen would: images named in it would load
                QTextDocument document;
                document.setHtml(label->text());
                return Qt::mightBeRichText(label->text()) ? document.toPlainText() : label->text();
            }
    return "<no tool tip>";
}

} // namespace

class WindowTellsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<vorn::ProjectDb> db_;
    std::unique_ptr<CMainFrame> frame_;
    std::vector<std::unique_ptr<FtpServer>> servers_;

    FtpServer& Server(FtpServerOptions options = {})
    {
        servers_.push_back(std::make_unique<FtpServer>(options));
        return *servers_.back();
    }

    vorn::BackupProject Project(const std::string& name, const FtpServer& server)
    {
        vorn::BackupProject p;
        p.ftpname = name;
        p.ftpip = server.host();
        p.ftpport = std::to_string(server.port());
        p.ftpuser = server.options().user;
        p.ftppassword = server.options().password;
        p.ftpsource = "/";
        p.ftpdest = dir_->filePath(QString::fromStdString(name)).toStdString();
        p.ftptype = 1;
        p.ftpbackmode = 1;
        return p;
    }

    void Store(const vorn::BackupProject& project) { QVERIFY(vorn::InsertProject(db_.get(), project)); }

    bool OpenWindow(bool panes = false)
    {
        frame_ = std::make_unique<CMainFrame>(db_.get(), dir_->path());
        if (!panes)
            QObject::disconnect(
                frame_->projectView(), &CVornBackupView::projectClicked, frame_.get(), nullptr);
        new DesktopRuns(frame_.get(), db_.get());
        frame_->show();
        return QTest::qWaitForWindowExposed(frame_.get());
    }

    ProjectListModel& Projects() { return *frame_->projectView()->model(); }

    // The size the source pane shows for a file, empty while it shows none.
    QString SourceSize(const QString& name)
    {
        const QAbstractItemModel* rows = frame_->sourcePane()->model();
        for (int row = 0; row < rows->rowCount(); ++row)
            if (rows->index(row, 0).data().toString() == name)
                return rows->index(row, 1).data().toString();
        return {};
    }

    // Runs the project to its end through the Start command.
    bool RunToEnd(const QString& name)
    {
        const int row = frame_->projectView()->FindRowByName(name);
        if (row < 0)
            return false;
        ClickRow(frame_->projectView()->list(), row);
        QSignalSpy finished(frame_.get(), &CMainFrame::runFinished);
        if (!TriggerAction(frame_.get(), "actionStart"))
            return false;
        return finished.wait(60000);
    }

private slots:
    void init()
    {
        Prompt::resetForTest();
        ForgetSettings();
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        db_ = vorn::ProjectDb::Open(dir_->filePath("projects.db").toStdString()).db;
        QVERIFY(db_);
    }

    void cleanup()
    {
        frame_.reset();
        db_.reset();
        servers_.clear();
        dir_.reset();
    }

    // A run with a failed file: a warning on the project's cell with the count, a marked row,
    // "Success, 1 failed" in History; the source pane shows the sizes the server has now.
    void aRunWithFailedFilesDoesNotLookClean()
    {
        FtpServerOptions options;
        options.refuseRetr = "secret.txt";
        FtpServer& server = Server(options);
        vorn::test::WriteFile(server.root() / "a.txt", "a");
        vorn::test::WriteFile(server.root() / "secret.txt", "s");
        Store(Project("Site", server));
        QVERIFY(OpenWindow(true));
        ClickRow(frame_->projectView()->list(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!SourceSize("a.txt").isEmpty(), 30000);
        const QString listedSize = SourceSize("a.txt");
        vorn::test::WriteFile(server.root() / "a.txt", "changed"); // after the pane listed it
        QVERIFY(RunToEnd("Site"));

        QCOMPARE(Projects().Cell(0, ProjectListModel::TransferStatus), QString("Success"));
        QCOMPARE(Projects().StatusMarkAt(0), Mark::Warning);
        const QString tip = Projects()
                                .data(Projects().index(0, ProjectListModel::TransferStatus), Qt::ToolTipRole)
                                .toString();
        QVERIFY2(tip.contains("1 file(s) failed") && tip.contains("History"), qPrintable(tip));

        StatusListModel* rows = frame_->statusView()->model();
        for (int row = 0; row < rows->rowCount(); ++row) {
            const QModelIndex status = rows->index(row, StatusListModel::Status);
            const bool failed = rows->Cell(row, StatusListModel::Status) == "Failed";
            QCOMPARE(!status.data(Qt::DecorationRole).value<QIcon>().isNull(), failed);
            QCOMPARE(status.data(Qt::ForegroundRole).isValid(), failed);
        }

        CHistoryDialog history(db_.get(), "Site", 0);
        QCOMPARE(history.runsTable()->item(0, CHistoryDialog::Outcome)->text(), QString("Success, 1 failed"));

        QTRY_VERIFY_WITH_TIMEOUT(
            SourceSize("a.txt") != listedSize && SourceSize("a.txt").startsWith("7"), 30000);
    }

    // Every way a run fails puts its reason in the status bar and on the project's cell.
    void aFailedRunSaysWhyOnScreen()
    {
        FtpServer& server = Server();
        vorn::test::WriteFile(server.root() / "a.txt", "a");
        const vorn::test::RefusingPort down;
        vorn::BackupProject relay = Project("Relay", server);
        relay.ftptype = 2;
        relay.ftpdest.clear();
        relay.ftpdestip = "127.0.0.1";
        relay.ftpdestport = std::to_string(down.port());
        relay.ftpdestuser = "user";
        relay.ftpdestpath = "/copy";
        Store(relay);
        QVERIFY(OpenWindow());
        QVERIFY(RunToEnd("Relay"));
        QCOMPARE(Projects().Cell(0, ProjectListModel::TransferStatus), QString("Fail"));
        QCOMPARE(Projects().StatusMarkAt(0), Mark::Failure);
        const QString port = QString::number(down.port());
        const QString shown = frame_->statusBar()->currentMessage();
        QVERIFY2(shown.startsWith("Relay: ") && shown.contains(port), qPrintable(shown));
        const QString tip = Projects()
                                .data(Projects().index(0, ProjectListModel::TransferStatus), Qt::ToolTipRole)
                                .toString();
        QVERIFY2(tip.startsWith("Fail: ") && tip.contains(port), qPrintable(tip));

        // A project that cannot be loaded fails without a reason from the run: the window has one.
        frame_->OnRunStarted("Relay", false, std::time(nullptr));
        QCOMPARE(Projects().StatusMarkAt(0), Mark::None);
        frame_->OnRunProjectStatus("Relay", vorn::ProjectStatus::Failed);
        frame_->OnRunFinished("Relay", vorn::RunOutcome::Failed);
        QVERIFY(frame_->statusBar()->currentMessage().contains("could not be loaded"));
        QCOMPARE(Projects().StatusMarkAt(0), Mark::Failure);
    }

    // The commands, the Delete key and the panes act on one project: the highlighted one.
    void oneSelectionForCommandsKeysAndPanes()
    {
        FtpServer& one = Server();
        vorn::test::WriteFile(one.root() / "first.txt", "1");
        FtpServer& two = Server();
        vorn::test::WriteFile(two.root() / "second.txt", "2");
        Store(Project("First", one));
        Store(Project("Second", two));
        QVERIFY(OpenWindow(true));
        QTableView* list = frame_->projectView()->list();
        ClickRow(list, 0);
        QTRY_COMPARE_WITH_TIMEOUT(frame_->sourcePane()->sourcePaneProject(), QString("First"), 20000);
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Down);
        QCOMPARE(frame_->selectedRow(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(frame_->sourcePane()->sourcePaneProject(), QString("Second"), 20000);

        Prompt::setNextAnswer(Prompt::Answer::Yes);
        QTest::keyClick(list, Qt::Key_Delete);
        QCOMPARE(Prompt::lastShown().text, QString("Are you sure you want to delete this project?"));
        QCOMPARE(Prompt::lastShown().caption, QString("Delete Project"));
        QCOMPARE(Prompt::lastShown().detail, QString("Project: Second"));
        QCOMPARE(frame_->projectView()->rowCount(), 1);
        QCOMPARE(frame_->projectView()->BackupNameAt(0), QString("First"));
        vorn::BackupProject gone;
        QVERIFY(!vorn::LoadProject(db_.get(), "Second", gone));
    }

    // A run whose rules let no listed file through says so; the rule page explains the forms.
    void rulesThatLetNothingThroughSaySo()
    {
        FtpServer& server = Server();
        vorn::test::WriteFile(server.root() / "cache.tmp", "t");
        vorn::BackupProject project = Project("Temp", server);
        project.ftprule = "File Rule(*.tmp)\xA1\xA2Modify Time Any\xA1\xA2"
                          "File Size Any^";
        Store(project);
        QVERIFY(OpenWindow());
        QVERIFY(RunToEnd("Temp"));
        QCOMPARE(Projects().Cell(0, ProjectListModel::TransferStatus), QString("Success"));
        QVERIFY2(frame_->statusBar()->currentMessage().contains(
                     "The filter rules let none of the 1 listed file(s) through"),
            qPrintable(frame_->statusBar()->currentMessage()));
    }

    // The rule page explains the pattern forms beside the filter box; a pattern that matches
    // nothing is named with the form probably meant, which replaces it when the user says so.
    void rulePageCorrectsPatternsThatMatchNothing()
    {
        vorn::EditorState state;
        CSelectRule page(state);
        const QString help = page.findChild<QLabel*>("filterHelpLabel")->text();
        QVERIFY2(help.contains(".ext") && help.contains("@text") && help.contains("#text"), qPrintable(help));
        auto* filter = page.findChild<QComboBox*>("fileFilterCombo");
        auto* add = page.findChild<QPushButton*>("addRuleButton");

        filter->setEditText("*.tmp .doc");
        Prompt::setNextAnswer(Prompt::Answer::Yes);
        add->click();
        QVERIFY2(Prompt::lastShown().text.contains("\"*.tmp\" (did you mean \".tmp\"?)"),
            qPrintable(Prompt::lastShown().text));
        QVERIFY(!Prompt::lastShown().text.contains(".doc\" (did"));
        QCOMPARE(filter->currentText(), QString(".tmp .doc"));

        // No keeps the pattern as typed.
        filter->setEditText("tmp*");
        Prompt::setNextAnswer(Prompt::Answer::No);
        add->click();
        QCOMPARE(filter->currentText(), QString("tmp*"));

        const int shown = Prompt::shownCount();
        filter->setEditText("#img @log");
        add->click();
        QCOMPARE(Prompt::shownCount(), shown);
        vorn::BackupProject project;
        page.Collect(project);
        const std::string sep = "\xA1\xA2Modify Time Any\xA1\xA2"
                                "File Size Any^";
        QCOMPARE(project.ftprule,
            "File Rule(.tmp .doc)" + sep + "File Rule(tmp*)" + sep + "File Rule(#img @log)" + sep);
    }

    // The splitter keeps its place whatever the result line holds; every column of the
    // project list is in view at the default size; an empty list says how to begin.
    void aLayoutThatStaysPut()
    {
        QVERIFY(OpenWindow());
        frame_->resize(1000, 700); // the default size, whatever the offscreen screen's size
        QTest::qWait(20);
        QLabel* hint = frame_->projectView()->emptyHint();
        QVERIFY(hint->isVisible() && hint->text().contains("New"));
        QCOMPARE(frame_->projectView()->rowCount(), 0);

        vorn::BackupProject p;
        p.ftpname = "A project with a long name";
        p.ftpip = "127.0.0.1";
        p.ftpport = "21";
        p.ftpsource = "/var/www/sites/example/htdocs/images/gallery/2011/december";
        p.ftpdest = "/srv/backup/hosts/example/www/images/gallery/2011/december";
        p.ftptype = 1;
        p.ftpplanmode = 1;
        p.ftpplan = { 1001, 1015, 1028 };
        p.ftphour = 14;
        p.ftpminute = 30;
        frame_->projectView()->WriteProjectRow(0, p, false);
        QVERIFY(!hint->isVisible());
        QTableView* list = frame_->projectView()->list();
        QTRY_VERIFY(list->horizontalHeader()->length() <= list->viewport()->width());
        for (int column = 0; column < ProjectListModel::ColumnCount; ++column)
            QVERIFY2(list->horizontalHeader()->sectionViewportPosition(column) < list->viewport()->width(),
                qPrintable(QString::number(column)));
        QCOMPARE(list->textElideMode(), Qt::ElideMiddle);

        const QList<int> before = frame_->topSplitter()->sizes();
        frame_->OnRunResultText("Transmission Results: " + QString(400, 'x'));
        QTest::qWait(50);
        QCOMPARE(frame_->topSplitter()->sizes(), before);
    }

    // Names and reasons from a server or a stored project show literally, wherever they show:
    // a name that is an <img> tag loads nothing.
    void serverTextIsPlainText()
    {
        QVERIFY(OpenWindow());
        const QString image = dir_->filePath("probe.png");
        vorn::test::WriteFile(image.toStdString(), "not really an image");
        OpenWatch opened(image);
        QVERIFY(opened.watching());
        const QString name = "<img src=" + image + ">.txt";
        const QString reason = "550 <b>" + name + "</b>";

        CVornStatus* status = frame_->statusView();
        const auto row = status->AddRow("10:00:00", name, "1 B", "...");
        QVERIFY(status->SetRowStatus(row, "Failed", reason));
        QTableView* statusList = status->findChild<QTableView*>("statusList");
        QCOMPARE(ShownToolTip(statusList, statusList->model()->index(0, StatusListModel::Name)),
            name + "\n" + reason);
        QCOMPARE(ShownToolTip(statusList, statusList->model()->index(0, StatusListModel::Status)), reason);
        QCOMPARE(statusList->model()->index(0, StatusListModel::Name).data().toString(), name);

        vorn::BackupProject p;
        p.ftpname = name.toStdString();
        p.ftpip = "127.0.0.1";
        p.ftpport = "21";
        p.ftpsource = "/";
        p.ftpdest = image.toStdString();
        p.ftptype = 1;
        frame_->projectView()->WriteProjectRow(0, p, false);
        QTableView* projects = frame_->projectView()->list();
        QCOMPARE(ShownToolTip(projects, projects->model()->index(0, ProjectListModel::BackupName)), name);
        frame_->OnRunFailed(name, reason);
        frame_->OnRunFinished(name, vorn::RunOutcome::Fail);
        QCOMPARE(ShownToolTip(projects, projects->model()->index(0, ProjectListModel::TransferStatus)),
            "Fail: " + reason);
        QToolTip::hideText();

        // The History dialog's cells, and the tray's message body, the same way.
        CHistoryDialog history(db_.get(), name, 0);
        QVERIFY(qobject_cast<PlainToolTipDelegate*>(history.runsTable()->itemDelegate()));
        QVERIFY(qobject_cast<PlainToolTipDelegate*>(history.failuresTable()->itemDelegate()));
        QCOMPARE(history.findChild<QLabel*>("historyNotice")->textFormat(), Qt::PlainText);
        QCOMPARE(vorn::PlainMessage(name), name.toHtmlEscaped());
        QCOMPARE(status->findChild<QLabel*>("resultLabel")->textFormat(), Qt::PlainText);

        QTest::qWait(50);
        QCOMPARE(opened.Count(), 0);
    }
};

QTEST_MAIN(WindowTellsTest)
#include "WindowTellsTest.moc"
