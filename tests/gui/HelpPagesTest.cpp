// Where the Help commands find the user manual: a checkout, a build, an installed program
// (relative to its folder, or through the desktop's data folders), and what the window says
// when there is none. Real folders, the real main window on the offscreen platform.
#include "app/HelpPages.h"

#include "GuiTestSupport.h"
#include "app/MainFrame.h"
#include "app/Startup.h"
#include "store/ProjectDb.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>

using namespace vorn::guitest;

// Receives the URLs the program asks the desktop to open.
class HelpUrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.append(url); }
};

class HelpPagesTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    QByteArray savedDataHome_;
    QByteArray savedDataDirs_;

    // Creates the file (and its folders) below the test folder; returns its path.
    QString Touch(const QString& relative)
    {
        const QString path = dir_.filePath(relative);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write("<html></html>") < 0)
            return {};
        return QFileInfo(path).canonicalFilePath();
    }

    void ClearFolders()
    {
        for (const char* name : { "start", "prefix", "home-data", "data1", "data2", "source" })
            QVERIFY(QDir(dir_.filePath(name)).removeRecursively());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        // The desktop's data folders point into the test folder, so a copy of the manual
        // installed on this machine cannot answer for the ones made here.
        savedDataHome_ = qgetenv("XDG_DATA_HOME");
        savedDataDirs_ = qgetenv("XDG_DATA_DIRS");
        qputenv("XDG_DATA_HOME", dir_.filePath("home-data").toUtf8());
        qputenv("XDG_DATA_DIRS", (dir_.filePath("data1") + ':' + dir_.filePath("data2")).toUtf8());
    }

    void cleanupTestCase()
    {
        savedDataHome_.isNull() ? qunsetenv("XDG_DATA_HOME") : qputenv("XDG_DATA_HOME", savedDataHome_);
        savedDataDirs_.isNull() ? qunsetenv("XDG_DATA_DIRS") : qputenv("XDG_DATA_DIRS", savedDataDirs_);
    }

    void findManual_data()
    {
        QTest::addColumn<QStringList>("files"); // manual copies made below the test folder
        QTest::addColumn<QString>("found"); // the one expected, empty for none
        // The program is always <test folder>/prefix/bin, started in <test folder>/start.
        QTest::newRow("none") << QStringList {} << QString();
        QTest::newRow("checkout") << QStringList { "start/docs/index.html" } << "start/docs/index.html";
        QTest::newRow("build") << QStringList { "prefix/bin/docs/index.html" }
                               << "prefix/bin/docs/index.html";
        QTest::newRow("installed") << QStringList { "prefix/share/vornbackup/index.html" }
                                   << "prefix/share/vornbackup/index.html";
        QTest::newRow("doc folder") << QStringList { "prefix/share/doc/vornbackup/index.html" }
                                    << "prefix/share/doc/vornbackup/index.html";
        QTest::newRow("user data") << QStringList { "home-data/vornbackup/index.html" }
                                   << "home-data/vornbackup/index.html";
        QTest::newRow("second data folder")
            << QStringList { "data2/doc/vornbackup/index.html" } << "data2/doc/vornbackup/index.html";
        QTest::newRow("start-up folder first") << QStringList { "prefix/share/vornbackup/index.html",
            "start/docs/index.html" } << "start/docs/index.html";
        QTest::newRow("beside the program before the data folders")
            << QStringList { "data1/vornbackup/index.html", "prefix/share/doc/vornbackup/index.html" }
            << "prefix/share/doc/vornbackup/index.html";
        // A program run out of its build folder: the source folder it was built from.
        QTest::newRow("source folder")
            << QStringList { "source/docs/index.html" } << "source/docs/index.html";
        QTest::newRow("installed before the source folder") << QStringList { "source/docs/index.html",
            "prefix/share/vornbackup/index.html" } << "prefix/share/vornbackup/index.html";
        // A folder named like the manual is not the manual.
        QTest::newRow("folder, not file") << QStringList { "start/docs/index.html/x" } << QString();
    }

    void findManual()
    {
        QFETCH(QStringList, files);
        QFETCH(QString, found);
        ClearFolders();
        QVERIFY(QDir().mkpath(dir_.filePath("start")) && QDir().mkpath(dir_.filePath("prefix/bin")));
        for (const QString& file : files)
            QVERIFY(!Touch(file).isEmpty());
        const QString manual
            = vorn::FindManual(dir_.filePath("start"), dir_.filePath("prefix/bin"), dir_.filePath("source"));
        QCOMPARE(manual, found.isEmpty() ? QString() : QFileInfo(dir_.filePath(found)).canonicalFilePath());
    }

    void pagesAndHomePage()
    {
        QCOMPARE(vorn::HelpPageUrl(vorn::HelpPage::Tutorial, "/usr/share/vornbackup/index.html").toString(),
            QString("file:///usr/share/vornbackup/index.html#tutorial"));
        QCOMPARE(vorn::HelpPageUrl(vorn::HelpPage::ErrorReporting, QString()).toString(),
            QString("https://vornbackup.example/#reporting-problems"));
        QCOMPARE(vorn::HelpPageUrl(vorn::HelpPage::Restoring, "/m/index.html").toString(),
            QString("file:///m/index.html#restoring"));
        QCOMPARE(vorn::HelpPageUrl(vorn::HelpPage::Home, QString()).toString(),
            QString("https://vornbackup.example/"));
    }

    // The window: with no manual anywhere, the status bar says so and nothing opens (the home
    // page is a placeholder); the About dialog's web link opens the manual like the Help
    // commands.
    void windowSaysWhenTheManualIsMissing()
    {
        ClearFolders();
        QVERIFY(QDir().mkpath(dir_.filePath("start")));
        HelpUrlCatcher catcher;
        QDesktopServices::setUrlHandler("file", &catcher, "open");
        QDesktopServices::setUrlHandler("https", &catcher, "open");
        const auto unset = qScopeGuard([] {
            QDesktopServices::unsetUrlHandler("file");
            QDesktopServices::unsetUrlHandler("https");
        });
        const std::string dbPath = dir_.filePath("projects.db").toStdString();
        QVERIFY(MakeSampleDatabase(dbPath));
        auto db = vorn::ProjectDb::Open(dbPath).db;
        QVERIFY(db);
        CMainFrame frame(db.get(), dir_.filePath("start"));
        frame.setManualSourceFolder(dir_.filePath("source"));
        QVERIFY(frame.promptText() != QString::fromLatin1(vorn::kManualMissingText));
        QVERIFY(TriggerAction(&frame, "actionTutorial"));
        QCOMPARE(catcher.urls.size(), 0);
        QCOMPARE(frame.promptText(), QString::fromLatin1(vorn::kManualMissingText));

        const QString manual = Touch("data1/vornbackup/index.html");
        QVERIFY(!manual.isEmpty());
        QTimer::singleShot(0, this, [] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            if (auto* web = dialog->findChild<QLabel*>("aboutWebSite"))
                emit web->linkActivated("https://vornbackup.example/");
            dialog->accept();
        });
        QVERIFY(TriggerAction(&frame, "actionAbout"));
        QCOMPARE(catcher.urls.size(), 1);
        QCOMPARE(catcher.urls[0], QUrl::fromLocalFile(manual));

        // Run out of its build folder, the program finds the manual in its source folder.
        ClearFolders();
        const QString source = Touch("source/docs/index.html");
        QVERIFY(!source.isEmpty());
        QVERIFY(TriggerAction(&frame, "actionHelp"));
        QCOMPARE(catcher.urls.size(), 2);
        QCOMPARE(catcher.urls[1], QUrl::fromLocalFile(source));
    }

    // --help and --version answer instead of starting; they are no command-line error.
    void helpAndVersionAnswer()
    {
        QCoreApplication::setApplicationVersion("2.2.1.0");
        const vorn::StartupOptions help = vorn::ParseStartupOptions({ "vornbackup", "--help" });
        QVERIFY(help.error.isEmpty());
        for (const char* option : { "--db", "--run", "--version" })
            QVERIFY2(help.answer.contains(option), option);
        const vorn::StartupOptions version = vorn::ParseStartupOptions({ "vornbackup", "--version" });
        QVERIFY(version.answer.endsWith(" 2.2.1.0\n"));
        QVERIFY(vorn::ParseStartupOptions({ "vornbackup", "--db", "x.db" }).answer.isEmpty());
    }
};

QTEST_MAIN(HelpPagesTest)
#include "HelpPagesTest.moc"
