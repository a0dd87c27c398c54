// The Restore dialog over real archives and a real database file: points in time, the tree
// of a point with its search, a preview that writes nothing, a restore of an older point and
// of picked entries; and the commands that open it from the window and the History dialog.
#include "app/RestoreDialog.h"

#include "GuiTestSupport.h"
#include "app/MainFrame.h"
#include "app/RestoreCommands.h"
#include "app/RunHistoryCommands.h"
#include "engine/archives/ZipArchive.h"
#include "gui/Prompt.h"
#include "store/ProjectDb.h"
#include "store/RunHistory.h"
#include "views/HistoryDialog.h"
#include "views/VornBackupView.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <filesystem>
#include <fstream>
#include <utime.h>

using namespace vorn::guitest;

namespace {

QString ReadText(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString("<missing>");
}

// Writes an archive of `files` (name, bytes) with the program's own writer, dated `mtime`.
bool WriteArchive(
    const QString& path, const std::vector<std::pair<std::string, std::string>>& files, time_t mtime)
{
    const std::filesystem::path scratch = std::filesystem::path(path.toStdString()).parent_path() / "scratch";
    auto created = vorn::ZipArchive::Create(path.toStdString(), "pw");
    if (!created)
        return false;
    for (const auto& [name, bytes] : files) {
        std::ofstream(scratch) << bytes;
        if (!created.value()->Add(name, scratch.string()))
            return false;
    }
    std::filesystem::remove(scratch);
    const utimbuf times { mtime, mtime };
    return created.value()->Close().ok() && utime(path.toLocal8Bit().constData(), &times) == 0;
}

} // namespace

class RestoreDialogTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<vorn::ProjectDb> db_;

    QString Path(const QString& name) const { return dir_->filePath(name); }
    template <class T> static T* Child(QObject* root, const char* name)
    {
        T* child = root->findChild<T*>(name);
        if (child == nullptr)
            qWarning("no child %s", name);
        return child;
    }

private slots:
    void init()
    {
        Prompt::resetForTest();
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        QVERIFY(MakeSampleDatabase(Path("restore.db").toStdString()));
        db_ = vorn::ProjectDb::Open(Path("restore.db").toStdString()).db;
        QVERIFY(db_);
        QDir(dir_->path()).mkdir("archives");
        vorn::BackupProject project;
        project.ftpname = "site";
        project.ftpdest = Path("archives").toStdString();
        project.ftpip = "127.0.0.1";
        project.ftptype = 1;
        project.ftpiscompress = true;
        project.ftpcompass = "pw";
        QVERIFY(vorn::InsertProject(db_.get(), project));
        QVERIFY(WriteArchive(Path("archives/site_260101120000.zip"),
            { { "a.txt", "one" }, { "docs/b.txt", "two" } }, 1767268800));
        QVERIFY(WriteArchive(Path("archives/site_260102120000.zip"),
            { { "a.txt", "one v2" }, { "c.txt", "three" }, { "docs/b.txt", "two" } }, 1767355200));
    }
    void cleanup()
    {
        db_.reset();
        dir_.reset();
    }

    void browsesPreviewsAndRestoresPointsInTime()
    {
        CRestoreDialog dialog(db_.get(), "site");
        QSignalSpy loaded(&dialog, &CRestoreDialog::loaded);
        QSignalSpy finished(&dialog, &CRestoreDialog::finished);
        QVERIFY(loaded.wait(20000));
        auto* points = Child<QComboBox>(&dialog, "comboPoint");
        QCOMPARE(points->count(), 2);
        QVERIFY(points->itemText(0).startsWith("2026-01-02"));
        auto* tree = Child<QTreeView>(&dialog, "treeFiles");
        auto* model = qobject_cast<QStandardItemModel*>(tree->model());
        QCOMPARE(model->rowCount(), 3); // a.txt, c.txt, docs
        Child<QLineEdit>(&dialog, "editSearch")->setText("b.t");
        int shown = 0;
        for (int r = 0; r < model->rowCount(); ++r)
            shown += tree->isRowHidden(r, {}) ? 0 : 1;
        QCOMPARE(shown, 1);
        Child<QLineEdit>(&dialog, "editSearch")->clear();

        Child<QLineEdit>(&dialog, "editTarget")->setText(Path("out"));
        QTest::mouseClick(Child<QPushButton>(&dialog, "buttonPreview"), Qt::LeftButton);
        QVERIFY(finished.wait(20000));
        auto* rows = Child<QTableWidget>(&dialog, "tableRows");
        QCOMPARE(rows->rowCount(), 3);
        QCOMPARE(rows->item(0, 1)->text(), QString("Would restore"));
        QVERIFY(!QFile::exists(Path("out")));
        QVERIFY(!Child<QPushButton>(&dialog, "buttonOpenFolder")->isEnabled());

        points->setCurrentIndex(1);
        QVERIFY(loaded.wait(20000));
        QTest::mouseClick(Child<QPushButton>(&dialog, "buttonRestore"), Qt::LeftButton);
        QVERIFY(finished.wait(20000));
        QCOMPARE(ReadText(Path("out/a.txt")), QString("one"));
        QCOMPARE(ReadText(Path("out/docs/b.txt")), QString("two"));
        QVERIFY(!QFile::exists(Path("out/c.txt")));
        QVERIFY(Child<QPushButton>(&dialog, "buttonOpenFolder")->isEnabled());

        // Only the picked folder.
        points->setCurrentIndex(0);
        QVERIFY(loaded.wait(20000));
        const QModelIndex docs = model->index(2, 0);
        QCOMPARE(docs.data().toString(), QString("docs"));
        tree->selectionModel()->select(docs, QItemSelectionModel::Select | QItemSelectionModel::Rows);
        Child<QLineEdit>(&dialog, "editTarget")->setText(Path("picked"));
        QTest::mouseClick(Child<QPushButton>(&dialog, "buttonRestore"), Qt::LeftButton);
        QVERIFY(finished.wait(20000));
        QCOMPARE(ReadText(Path("picked/docs/b.txt")), QString("two"));
        QVERIFY(!QFile::exists(Path("picked/a.txt")));
        QCOMPARE(Child<QLabel>(&dialog, "labelResult")->text(),
            QString("Restore Results: File(s):1, Kept File(s):0, Failed File(s):0."));
    }

    void opensFromTheCommandAndFromTheHistory()
    {
        CMainFrame frame(db_.get(), QString::fromUtf8(VORN_SOURCE_DIR));
        auto* history = new RunHistoryCommands(&frame, db_.get());
        auto* commands = new RestoreCommands(&frame, db_.get(), history);
        QVERIFY(frame.findChild<QAction*>("actionRestore") == commands->restoreAction());
        CHistoryDialog* dialog = history->OpenHistory("site");
        auto* button = Child<QPushButton>(dialog, "buttonHistoryRestore");
        QVERIFY(button);
        QTest::mouseClick(button, Qt::LeftButton);
        QVERIFY(commands->restoreDialog());
        QCOMPARE(commands->restoreDialog()->windowTitle(), QString("Restore - site"));
        QSignalSpy loaded(commands->restoreDialog(), &CRestoreDialog::loaded);
        QVERIFY(loaded.wait(20000));
    }
};

QTEST_MAIN(RestoreDialogTest)
#include "RestoreDialogTest.moc"
