// The pages of the project dialog and the destination dialog on the offscreen platform:
// defaults, loading a stored project, collecting, enabling rules and keyboard rules.
#include "EditorTestSupport.h"
#include "app/Prompt.h"
#include "editor/CDestFtpOptions.h"
#include "editor/EditorState.h"
#include "editor/FTPCatalog.h"
#include "editor/FTPRule.h"
#include "editor/NumberBox.h"
#include "editor/RemoteFolderList.h"
#include "rules/FilterRule.h"
#include "rules/RuleEditorPage.h"
#include "schedule/Schedule.h"
#include "schedule/SchedulePage.h"
#include "store/BackupProject.h"
#include "store/ProjectTexts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimeEdit>

using namespace vorn::editortest;

namespace {

const std::string Sep(vorn::kRuleSeparator);

vorn::BackupProject StoredProject()
{
    vorn::BackupProject p;
    p.ftpname = "Web's site";
    p.ftpsource = "/www/htdocs";
    p.ftpdest = "/srv/backup/www";
    p.ftpip = "ftpes://ftp.example.net";
    p.ftpuser = "backup";
    p.ftppassword = "pa'ss";
    p.ftpport = "2121";
    p.ftptype = 2;
    p.ftpbackmode = 1;
    p.ftpdestpath = "/copies";
    p.ftpdestip = "mirror.example.org";
    p.ftpdestuser = "mirror";
    p.ftpdestpass = "m-pass";
    p.ftpdestport = "21";
    p.ftpiscompress = true;
    p.ftpcompass = "zip-secret";
    p.ftprule = "a^b^";
    p.ftpplanmode = 2;
    p.ftpplan = { 1056, 1062 };
    p.ftphour = 22;
    p.ftpminute = 5;
    return p;
}

vorn::EditorState ModifyState(const vorn::BackupProject& project)
{
    vorn::EditorState state;
    state.isModifying = true;
    state.selectedName = project.ftpname;
    state.editedProject = project;
    return state;
}

QString Text(const QObject* root, const char* name)
{
    return Child<QLineEdit>(root, name)->text();
}

} // namespace

Q_DECLARE_METATYPE(std::string)

class EditorPagesTest : public QObject {
    Q_OBJECT

private slots:
    void init() { Prompt::resetForTest(); }

    // --- Directory settings ------------------------------------------------------------

    void directoryPageShowsDefaultsNotLeftovers()
    {
        vorn::EditorState state;
        state.editedProject = StoredProject(); // what an earlier dialog left must not show
        FTPCatalog page(state);
        QVERIFY(ShowAndWait(&page));
        QCOMPARE(Text(&page, "ftpPathEdit"), QString("/"));
        QCOMPARE(Text(&page, "portEdit"), QString("21"));
        for (const char* name : { "projectNameEdit", "serverEdit", "userEdit", "passwordEdit", "localPathEdit" })
            QVERIFY2(Text(&page, name).isEmpty(), name);
        QCOMPARE(Child<RemoteFolderList>(&page, "remoteList")->rowCount(), 0);
        QCOMPARE(Child<QLineEdit>(&page, "serverEdit")->maxLength(), 128);
        QCOMPARE(Child<QLineEdit>(&page, "portEdit")->maxLength(), 16);
        QCOMPARE(Child<QLineEdit>(&page, "userEdit")->maxLength(), 32);
        QCOMPARE(Child<QLineEdit>(&page, "passwordEdit")->maxLength(), 32);
        QCOMPARE(Child<QLineEdit>(&page, "passwordEdit")->echoMode(), QLineEdit::Password);
        const QString tip = Child<QLineEdit>(&page, "serverEdit")->toolTip();
        QVERIFY(tip.contains("ftpes://") && tip.contains("ftps://"));
    }

    void directoryPageLoadsAndCollectsAStoredProject()
    {
        const vorn::BackupProject stored = StoredProject();
        vorn::EditorState state = ModifyState(stored);
        FTPCatalog page(state);
        QVERIFY(ShowAndWait(&page));
        QCOMPARE(Text(&page, "projectNameEdit"), QString("Web's site"));
        QCOMPARE(Text(&page, "serverEdit"), QString("ftpes://ftp.example.net"));
        QCOMPARE(Text(&page, "ftpPathEdit"), QString("/www/htdocs"));
        QCOMPARE(Child<RemoteFolderList>(&page, "remoteList")->rowCount(), 0);

        // Untouched, the seven fields come back as stored; typed changes reach the record.
        vorn::BackupProject collected;
        page.Collect(collected);
        QCOMPARE(collected.ftpname, stored.ftpname);
        QCOMPARE(collected.ftpsource, stored.ftpsource);
        QCOMPARE(collected.ftpdest, stored.ftpdest);
        QCOMPARE(collected.ftpip, stored.ftpip);
        QCOMPARE(collected.ftpuser, stored.ftpuser);
        QCOMPARE(collected.ftppassword, stored.ftppassword);
        QCOMPARE(collected.ftpport, stored.ftpport);
        TypeInto(Child<QLineEdit>(&page, "localPathEdit"), "/srv/backup/naïve");
        TypeInto(Child<QLineEdit>(&page, "userEdit"), "someone");
        page.Collect(collected);
        QCOMPARE(collected.ftpdest, std::string("/srv/backup/na\xC3\xAFve"));
        QCOMPARE(collected.ftpuser, std::string("someone"));
        // Fields of other pages are not this page's to write.
        QCOMPARE(collected.ftptype, 0);
        QVERIFY(collected.ftpdestip.empty());
    }

    void directoryPageRefusesTypingIntoPathAndLettersInPort()
    {
        vorn::EditorState state;
        FTPCatalog page(state);
        QVERIFY(ShowAndWait(&page));
        auto* path = Child<QLineEdit>(&page, "ftpPathEdit");
        path->setFocus();
        QTest::keyClicks(path, "abc");
        QTest::keyClick(path, Qt::Key_Backspace);
        QTest::keyClick(path, Qt::Key_Delete);
        QTest::keyClick(path, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(path->text(), QString("/"));
        auto* port = Child<QLineEdit>(&page, "portEdit");
        TypeInto(port, "2x1-");
        QCOMPARE(port->text(), QString("21"));
    }

    void directoryPageFolderPicker()
    {
        vorn::EditorState state;
        FTPCatalog page(state);
        QVERIFY(ShowAndWait(&page));
        QString askedTitle;
        QString answer;
        page.setFolderPicker([&](QWidget*, const QString& title, const QString&) {
            askedTitle = title;
            return answer;
        });
        auto* local = Child<QLineEdit>(&page, "localPathEdit");
        TypeInto(local, "/kept");
        QVERIFY(Click(&page, "browseButton"));
        QCOMPARE(askedTitle, QString::fromUtf8("Please Select\xEF\xBC\x9A"));
        QCOMPARE(local->text(), QString("/kept")); // cancelled
        answer = "/srv/chosen";
        QVERIFY(Click(&page, "browseButton"));
        QCOMPARE(local->text(), QString("/srv/chosen"));
    }

    // --- Copy rules ----------------------------------------------------------------------

    void copyRulesCollectsModeBackupAndCompression()
    {
        vorn::EditorState state;
        state.editedProject = StoredProject();
        FTPRule page(state);
        QVERIFY(ShowAndWait(&page));
        QVERIFY(Child<QRadioButton>(&page, "ftpLocalRadio")->isChecked());
        QVERIFY(Child<QRadioButton>(&page, "fullBackupRadio")->isChecked());
        QVERIFY(!Child<QPushButton>(&page, "showDestButton")->isEnabled());
        auto* password = Child<QLineEdit>(&page, "compressPasswordEdit");
        QVERIFY(!password->isEnabled());
        QCOMPARE(password->maxLength(), 32);
        QCOMPARE(password->echoMode(), QLineEdit::Normal);

        vorn::BackupProject project = StoredProject();
        page.Collect(project);
        QCOMPARE(project.ftptype, 1);
        QCOMPARE(project.ftpbackmode, 1);
        QCOMPARE(project.ftpiscompress, false);
        // Ftp->Local writes no destination, and compression off writes no password.
        QCOMPARE(project.ftpdestip, std::string("mirror.example.org"));
        QCOMPARE(project.ftpcompass, std::string("zip-secret"));

        QVERIFY(Click(&page, "compressCheck"));
        QVERIFY(password->isEnabled());
        TypeInto(password, "new-zip");
        page.Collect(project);
        QCOMPARE(project.ftpiscompress, true);
        QCOMPARE(project.ftpcompass, std::string("new-zip"));

        // Off again: the text stays in the disabled edit but is not collected.
        QVERIFY(Click(&page, "compressCheck"));
        QVERIFY(!password->isEnabled());
        QCOMPARE(password->text(), QString("new-zip"));
        project.ftpcompass = "before";
        page.Collect(project);
        QCOMPARE(project.ftpiscompress, false);
        QCOMPARE(project.ftpcompass, std::string("before"));
    }

    void copyRulesOpensTheDestinationDialogOnceForANewProject()
    {
        vorn::EditorState state;
        state.lastDestination = { "/mirror", "mirror.example.org", "m", "mp", "2121" };
        FTPRule page(state);
        QVERIFY(ShowAndWait(&page));

        QVERIFY(Click(&page, "ftpFtpRadio"));
        CDestFtpOptions* dialog = page.destinationDialog();
        QVERIFY(dialog);
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        QCOMPARE(Text(dialog, "destServerEdit"), QString("mirror.example.org"));
        QCOMPARE(Text(dialog, "destPathEdit"), QString("/mirror"));
        QCOMPARE(Text(dialog, "destPortEdit"), QString("2121"));
        QVERIFY(Click(dialog, "destCancelButton"));
        QTRY_VERIFY_WITH_TIMEOUT(!page.destinationDialog(), 5000);
        QCOMPARE(page.pageDestination(), vorn::DestinationSettings {});
        QVERIFY(state.editedProject.ftpdestip.empty());

        // Back and forth again: the dialog does not reopen by itself; the button opens it.
        QVERIFY(Click(&page, "ftpLocalRadio"));
        QVERIFY(Click(&page, "ftpFtpRadio"));
        QVERIFY(!page.destinationDialog());
        QVERIFY(Click(&page, "showDestButton"));
        dialog = page.destinationDialog();
        QVERIFY(dialog);
        QVERIFY(QTest::qWaitForWindowExposed(dialog));
        TypeInto(Child<QLineEdit>(dialog, "destUserEdit"), "other");
        QVERIFY(Click(dialog, "destOkButton"));
        QTRY_VERIFY_WITH_TIMEOUT(!page.destinationDialog(), 5000);

        const vorn::DestinationSettings confirmed { "/mirror", "mirror.example.org", "other", "mp", "2121" };
        QCOMPARE(page.pageDestination(), confirmed);
        QCOMPARE(state.lastDestination, confirmed);
        QCOMPARE(vorn::DestinationOf(state.editedProject), confirmed);
        vorn::BackupProject project;
        page.Collect(project);
        QCOMPARE(project.ftptype, 2);
        QCOMPARE(vorn::DestinationOf(project), confirmed);
    }

    void copyRulesLoadsAStoredFtpToFtpProject()
    {
        const vorn::BackupProject stored = StoredProject();
        vorn::EditorState state = ModifyState(stored);
        state.lastDestination = { "/elsewhere", "other.example.org", "", "", "21" };
        FTPRule page(state);
        QVERIFY(ShowAndWait(&page));
        QVERIFY(Child<QRadioButton>(&page, "ftpFtpRadio")->isChecked());
        QVERIFY(Child<QPushButton>(&page, "showDestButton")->isEnabled());
        QVERIFY(Child<QCheckBox>(&page, "compressCheck")->isChecked());
        QCOMPARE(Text(&page, "compressPasswordEdit"), QString("zip-secret"));
        QCOMPARE(page.pageDestination(), vorn::DestinationOf(stored));

        // Modify never opens the destination dialog by itself...
        QVERIFY(Click(&page, "ftpLocalRadio"));
        QVERIFY(Click(&page, "ftpFtpRadio"));
        QVERIFY(!page.destinationDialog());
        // ...and the button shows the project's destination, not the last one confirmed.
        QVERIFY(Click(&page, "showDestButton"));
        QVERIFY(page.destinationDialog());
        QCOMPARE(Text(page.destinationDialog(), "destServerEdit"), QString("mirror.example.org"));
        QVERIFY(Click(page.destinationDialog(), "destCancelButton"));
        QTRY_VERIFY_WITH_TIMEOUT(!page.destinationDialog(), 5000);

        // Saved as Ftp->Local, the stored destination stays as it was.
        QVERIFY(Click(&page, "ftpLocalRadio"));
        vorn::BackupProject project = stored;
        page.Collect(project);
        QCOMPARE(project.ftptype, 1);
        QCOMPARE(vorn::DestinationOf(project), vorn::DestinationOf(stored));
    }

    void destinationDialogChecksServerThenPath()
    {
        // First use in a new project: the initial lastDestination.
        CDestFtpOptions dialog { vorn::DestinationSettings {} };
        QVERIFY(ShowAndWait(&dialog));
        QCOMPARE(dialog.windowTitle(), QString("Destination FTP Options"));
        QCOMPARE(Text(&dialog, "destPortEdit"), QString("21"));
        for (const char* name : { "destServerEdit", "destUserEdit", "destPasswordEdit", "destPathEdit" })
            QVERIFY2(Text(&dialog, name).isEmpty(), name);

        QVERIFY(Click(&dialog, "destOkButton"));
        QCOMPARE(Prompt::lastShown().text, QString("Destition server address is blank, please enter server address!"));
        QCOMPARE(Prompt::lastShown().caption, QString("Warning"));
        QVERIFY(dialog.isVisible());

        TypeInto(Child<QLineEdit>(&dialog, "destServerEdit"), "mirror.example.org");
        QVERIFY(Click(&dialog, "destOkButton"));
        QCOMPARE(Prompt::lastShown().text, QString("Destinition FTP Path is blank, please select any directory!"));
        QVERIFY(dialog.isVisible());
        QCOMPARE(Prompt::shownCount(), 2);

        // The path cannot be typed, and Esc does not close the dialog.
        auto* path = Child<QLineEdit>(&dialog, "destPathEdit");
        path->setFocus();
        QTest::keyClicks(path, "/typed");
        QCOMPARE(path->text(), QString());
        PressKey(Child<QLineEdit>(&dialog, "destUserEdit"), Qt::Key_Escape);
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }

    void destinationDialogAcceptsAPrefilledDestination()
    {
        const vorn::DestinationSettings stored { "/copies", "mirror.example.org", "u", "p", "990" };
        CDestFtpOptions dialog { stored };
        QVERIFY(ShowAndWait(&dialog));
        // Enter outside the login fields presses the default button, OK.
        PressKey(Child<RemoteFolderList>(&dialog, "destRemoteList"), Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 5000);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.destination(), stored);
        QCOMPARE(Prompt::shownCount(), 0);
    }

    // --- Filter rules --------------------------------------------------------------------

    void filterRulePageDefaults()
    {
        vorn::EditorState state;
        state.editedProject.ftprule = "left^over^"; // New ignores what the record holds
        CSelectRule page(state);
        QVERIFY(ShowAndWait(&page));
        QCOMPARE(Child<QListWidget>(&page, "ruleList")->count(), 0);
        QCOMPARE(Child<QComboBox>(&page, "timeOp1Combo")->currentText(), QString("Any"));
        QCOMPARE(Child<QComboBox>(&page, "sizeOp1Combo")->currentText(), QString("Any"));
        QCOMPARE(Child<QComboBox>(&page, "timeOp2Combo")->currentText(), QString("<="));
        QCOMPARE(Child<QComboBox>(&page, "sizeOp2Combo")->currentText(), QString("<="));
        QCOMPARE(Child<QComboBox>(&page, "unit1Combo")->currentText(), QString("BYTE"));
        QCOMPARE(Child<QComboBox>(&page, "unit2Combo")->currentText(), QString("BYTE"));
        QCOMPARE(Child<QLineEdit>(&page, "size1Edit")->maxLength(), 8);
        QCOMPARE(Child<QDateEdit>(&page, "date1Edit")->displayFormat(), QString("MM-dd-yyyy"));
        QCOMPARE(Child<QTimeEdit>(&page, "time2Edit")->displayFormat(), QString("HH:mm:ss"));
        QVERIFY(!Child<QPushButton>(&page, "deleteRuleButton")->isEnabled());

        auto* filter = Child<QComboBox>(&page, "fileFilterCombo");
        QStringList items;
        for (int i = 0; i < filter->count(); ++i)
            items << filter->itemText(i);
        QCOMPARE(items,
            QStringList({ ".bmp .png .jpg .gif", ".mp3 .ogg .wav .ape .wma .flac", ".txt .doc .docx .pdf",
                "Any Files" }));
        QCOMPARE(filter->currentText(), QString("Any Files"));

        // The first operators switch their lines on and off.
        const char* timeControls[] = { "date1Edit", "time1Edit", "timeOp2Combo", "date2Edit", "time2Edit" };
        const char* sizeControls[] = { "size1Edit", "unit1Combo", "sizeOp2Combo", "size2Edit", "unit2Combo" };
        for (const char* name : timeControls)
            QVERIFY2(!Child<QWidget>(&page, name)->isEnabled(), name);
        for (const char* name : sizeControls)
            QVERIFY2(!Child<QWidget>(&page, name)->isEnabled(), name);
        QVERIFY(Child<QWidget>(&page, "timeOp1Combo")->isEnabled());
        Child<QComboBox>(&page, "timeOp1Combo")->setCurrentText(">=");
        for (const char* name : timeControls)
            QVERIFY2(Child<QWidget>(&page, name)->isEnabled(), name);
        for (const char* name : sizeControls)
            QVERIFY2(!Child<QWidget>(&page, name)->isEnabled(), name);
        Child<QComboBox>(&page, "sizeOp1Combo")->setCurrentText("<");
        for (const char* name : sizeControls)
            QVERIFY2(Child<QWidget>(&page, name)->isEnabled(), name);
        Child<QComboBox>(&page, "timeOp1Combo")->setCurrentText("Any");
        for (const char* name : timeControls)
            QVERIFY2(!Child<QWidget>(&page, name)->isEnabled(), name);
    }

    void filterRuleItemTexts_data()
    {
        QTest::addColumn<QString>("filter"); // typed; empty: left at "Any Files"
        QTest::addColumn<QString>("timeOp");
        QTest::addColumn<QString>("sizeOp");
        QTest::addColumn<std::string>("expected");
        const std::string any = Sep + "Modify Time Any" + Sep + "File Size Any";
        QTest::newRow("defaults") << QString() << "Any" << "Any" << "File Rule()" + any;
        QTest::newRow("preset") << ".mp3 .ogg .wav .ape .wma .flac" << "Any" << "Any"
                                << "File Rule(.mp3 .ogg .wav .ape .wma .flac)" + any;
        QTest::newRow("delimiters removed") << "(my).txt^" << "Any" << "Any" << "File Rule(my.txt)" + any;
        QTest::newRow("accented letters kept") << QString::fromUtf8("@caf\xC3\xA9 .\xC3\xA2") << "Any" << "Any"
                                               << "File Rule(@caf\xC3\xA9 .\xC3\xA2)" + any;
        QTest::newRow("CJK kept") << QString::fromUtf8("#\xE6\x97\xA5\xE6\x9C\xAC(\xE8\xAA\x9E).txt") << "Any"
                                  << "Any" << "File Rule(#\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E.txt)" + any;
        QTest::newRow("time range") << ".log" << ">=" << "Any"
                                    << "File Rule(.log)" + Sep
                + "Modify Time >=12-01-2011 10:00:00|<=12-31-2011 23:59:59" + Sep + "File Size Any";
        QTest::newRow("time before") << QString() << "<" << "Any"
                                     << "File Rule()" + Sep
                + "Modify Time <12-01-2011 10:00:00|<=12-31-2011 23:59:59" + Sep + "File Size Any";
        QTest::newRow("size range") << QString() << "Any" << ">="
                                    << "File Rule()" + Sep + "Modify Time Any" + Sep + "File Size >=1KB|<=10MB";
    }

    void filterRuleItemTexts()
    {
        QFETCH(QString, filter);
        QFETCH(QString, timeOp);
        QFETCH(QString, sizeOp);
        QFETCH(std::string, expected);
        vorn::EditorState state;
        CSelectRule page(state);
        QVERIFY(ShowAndWait(&page));
        if (!filter.isEmpty())
            TypeInto(Child<QComboBox>(&page, "fileFilterCombo"), filter);
        Child<QComboBox>(&page, "timeOp1Combo")->setCurrentText(timeOp);
        Child<QDateEdit>(&page, "date1Edit")->setDate(QDate(2011, 12, 1));
        Child<QTimeEdit>(&page, "time1Edit")->setTime(QTime(10, 0, 0));
        Child<QDateEdit>(&page, "date2Edit")->setDate(QDate(2011, 12, 31));
        Child<QTimeEdit>(&page, "time2Edit")->setTime(QTime(23, 59, 59));
        Child<QComboBox>(&page, "sizeOp1Combo")->setCurrentText(sizeOp);
        TypeInto(Child<QLineEdit>(&page, "size1Edit"), "1");
        Child<QComboBox>(&page, "unit1Combo")->setCurrentText("KB");
        TypeInto(Child<QLineEdit>(&page, "size2Edit"), "10");
        Child<QComboBox>(&page, "unit2Combo")->setCurrentText("MB");

        QVERIFY(Click(&page, "addRuleButton"));
        QCOMPARE(page.Items(), std::vector<std::string> { expected });
        // The same settings again add nothing.
        QVERIFY(Click(&page, "addRuleButton"));
        QCOMPARE(page.Items().size(), std::size_t(1));
        vorn::BackupProject project;
        page.Collect(project);
        QCOMPARE(project.ftprule, expected + "^");
    }

    void filterRuleItemsParseBackAsBuilt()
    {
        // What the page writes is what the run reads: 24-hour times, month-day-year dates.
        vorn::EditorState state;
        CSelectRule page(state);
        QVERIFY(ShowAndWait(&page));
        TypeInto(Child<QComboBox>(&page, "fileFilterCombo"), ".mp3 .ogg");
        Child<QComboBox>(&page, "timeOp1Combo")->setCurrentText(">=");
        Child<QDateEdit>(&page, "date1Edit")->setDate(QDate(2011, 12, 1));
        Child<QTimeEdit>(&page, "time1Edit")->setTime(QTime(15, 4, 5));
        Child<QDateEdit>(&page, "date2Edit")->setDate(QDate(2011, 12, 31));
        Child<QTimeEdit>(&page, "time2Edit")->setTime(QTime(23, 59, 59));
        Child<QComboBox>(&page, "sizeOp1Combo")->setCurrentText(">=");
        TypeInto(Child<QLineEdit>(&page, "size1Edit"), "1");
        Child<QComboBox>(&page, "unit1Combo")->setCurrentText("KB");
        TypeInto(Child<QLineEdit>(&page, "size2Edit"), "10");
        Child<QComboBox>(&page, "unit2Combo")->setCurrentText("MB");
        QVERIFY(Click(&page, "addRuleButton"));
        vorn::BackupProject project;
        page.Collect(project);

        const std::vector<vorn::FilterRule> rules = vorn::ParseFilterRules(project.ftprule);
        QCOMPARE(rules.size(), std::size_t(1));
        QCOMPARE(rules[0].nameFilter, std::string(".mp3 .ogg"));
        QVERIFY(rules[0].timeTest.enabled);
        QCOMPARE(rules[0].timeTest.from, std::string("20111201150405"));
        QCOMPARE(rules[0].timeTest.to, std::string("20111231235959"));
        QVERIFY(rules[0].sizeTest.enabled);
        QCOMPARE(rules[0].sizeTest.from, std::uint64_t(1024));
        QCOMPARE(rules[0].sizeTest.to, std::uint64_t(10 * 1048576));
        QVERIFY(vorn::MatchFilterRule(rules[0], "song.MP3", 2048, "2011121516:00"));
        QVERIFY(!vorn::MatchFilterRule(rules[0], "song.mp3", 2048, "2011113023:59"));
        QVERIFY(!vorn::MatchFilterRule(rules[0], "song.mp3", 1023, "2011121516:00"));
    }

    void filterRuleLoadDeleteAndCollect()
    {
        vorn::BackupProject project;
        project.ftprule = "a^b" + Sep + "c^d^";
        vorn::EditorState state = ModifyState(project);
        CSelectRule page(state);
        QVERIFY(ShowAndWait(&page));
        auto* list = Child<QListWidget>(&page, "ruleList");
        QCOMPARE(page.Items(), (std::vector<std::string> { "a", "b" + Sep + "c", "d" }));
        QCOMPARE(list->item(1)->text(), QString::fromUtf8("b \xC2\xB7 c"));
        vorn::BackupProject collected;
        page.Collect(collected);
        QCOMPARE(collected.ftprule, project.ftprule); // the separator bytes survive

        auto* remove = Child<QPushButton>(&page, "deleteRuleButton");
        // Deleting the first item selects the one after it.
        list->setCurrentRow(0);
        QVERIFY(remove->isEnabled());
        QVERIFY(Click(&page, "deleteRuleButton"));
        QCOMPARE(page.Items(), (std::vector<std::string> { "b" + Sep + "c", "d" }));
        QCOMPARE(list->selectedItems().value(0), list->item(0));
        // Deleting another selects the one before it.
        list->setCurrentRow(1);
        QVERIFY(Click(&page, "deleteRuleButton"));
        QCOMPARE(page.Items(), (std::vector<std::string> { "b" + Sep + "c" }));
        QCOMPARE(list->selectedItems().value(0), list->item(0));
        // The last one leaves nothing selected and Delete disabled; the rule text is empty.
        QVERIFY(Click(&page, "deleteRuleButton"));
        QCOMPARE(list->count(), 0);
        QVERIFY(!remove->isEnabled());
        page.Collect(collected);
        QCOMPARE(collected.ftprule, std::string());
    }

    void nameFilterCleaning_data()
    {
        QTest::addColumn<std::string>("typed");
        QTest::addColumn<std::string>("clean");
        QTest::newRow("delimiters") << std::string("(my).txt^") << std::string("my.txt");
        QTest::newRow("a with circumflex ends in A2") << std::string("\xC3\xA2.txt") << std::string("\xC3\xA2.txt");
        QTest::newRow("katakana with A2 inside") << std::string("\xE3\x82\xA2") << std::string("\xE3\x82\xA2");
        QTest::newRow("A1 A2 inside a character") << std::string("\xE3\xA1\xA2x") << std::string("\xE3\xA1\xA2x");
        QTest::newRow("separator at a boundary") << std::string("a\xA1\xA2" "b\xA1\xA2")
                                                 << std::string("ab");
        QTest::newRow("stray A2 kept") << std::string("a\xA2") << std::string("a\xA2");
        QTest::newRow("four-byte character") << std::string("\xF0\x9F\x98\x80(") << std::string("\xF0\x9F\x98\x80");
    }

    void nameFilterCleaning()
    {
        QFETCH(std::string, typed);
        QFETCH(std::string, clean);
        QCOMPARE(vorn::CleanNameFilter(typed), clean);
    }

    // --- Task scheduler ------------------------------------------------------------------

    void schedulePageDefaultsAndUntouchedCollect()
    {
        vorn::EditorState state;
        state.editedProject = StoredProject(); // leftovers: New shows the defaults
        FTPScheme page(state);
        QVERIFY(ShowAndWait(&page));
        QVERIFY(Child<QRadioButton>(&page, "monthRadio")->isChecked());
        QVERIFY(Child<QRadioButton>(&page, "everyHourRadio")->isChecked());
        QVERIFY(Child<QGroupBox>(&page, "monthGroup")->isEnabled());
        QVERIFY(!Child<QGroupBox>(&page, "weekGroup")->isEnabled());
        QVERIFY(!Child<QGroupBox>(&page, "dayGroup")->isEnabled());
        for (const char* name : { "monthHourBox", "weekHourBox", "everyHourBox", "fixedHourBox" })
            QCOMPARE(Child<NumberBox>(&page, name)->text(), QString("8"));
        for (const char* name : { "monthMinuteBox", "weekMinuteBox", "everyMinuteBox", "fixedMinuteBox" })
            QCOMPARE(Child<NumberBox>(&page, name)->text(), QString("30"));
        QCOMPARE(Child<QCheckBox>(&page, "monthDay1")->text(), QString(" 1"));
        QCOMPARE(Child<QCheckBox>(&page, "monthDay10")->text(), QString("10"));
        QCOMPARE(Child<QCheckBox>(&page, "weekDay1057")->text(), QString("Tus"));

        vorn::BackupProject project;
        page.Collect(project);
        QCOMPARE(project.ftpplanmode, 1);
        QVERIFY(project.ftpplan.empty());
        QCOMPARE(project.ftphour, 8);
        QCOMPARE(project.ftpminute, 30);
        const vorn::ScheduleTexts s = vorn::MakeScheduleTexts(project);
        QCOMPARE(vorn::DescribeSchedule(s.planMode, s.plan, s.hour, s.minute, s.dayMode),
            std::string("No backup scheme."));
    }

    void scheduleNumberBoxes_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<bool>("selectAll");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("text");
        // Each key is one change: a change beyond the range is refused as a whole.
        QTest::newRow("25 in an hour box") << "monthHourBox" << true << "25" << "2";
        QTest::newRow("hour 23") << "weekHourBox" << true << "23" << "23";
        QTest::newRow("hour 8 then 5") << "fixedHourBox" << false << "5" << "8";
        QTest::newRow("minute 59") << "monthMinuteBox" << true << "59" << "59";
        QTest::newRow("minute 60") << "everyMinuteBox" << true << "60" << "6";
        QTest::newRow("minute 30 then 0") << "fixedMinuteBox" << false << "0" << "30";
        QTest::newRow("digits only") << "monthHourBox" << true << "a1-" << "1";
        QTest::newRow("leading zero") << "monthMinuteBox" << true << "07" << "07";
    }

    void scheduleNumberBoxes()
    {
        QFETCH(QString, box);
        QFETCH(bool, selectAll);
        QFETCH(QString, keys);
        QFETCH(QString, text);
        vorn::EditorState state;
        FTPScheme page(state);
        QVERIFY(ShowAndWait(&page));
        // Every group on, so that any box takes keys.
        for (const char* group : { "monthGroup", "weekGroup", "dayGroup" })
            Child<QGroupBox>(&page, group)->setEnabled(true);
        for (const char* name : { "fixedHourBox", "fixedMinuteBox", "everyMinuteBox" })
            Child<QWidget>(&page, name)->setEnabled(true);
        auto* number = Child<NumberBox>(&page, box.toLatin1().constData());
        number->setFocus();
        if (selectAll)
            number->selectAll();
        else
            QTest::keyClick(number, Qt::Key_End);
        QTest::keyClicks(number, keys);
        QCOMPARE(number->text(), text);
    }

    void scheduleEmptyBoxCollectsZeroAndSpinsStayInRange()
    {
        vorn::EditorState state;
        FTPScheme page(state);
        QVERIFY(ShowAndWait(&page));
        auto* hour = Child<NumberBox>(&page, "monthHourBox");
        auto* minute = Child<NumberBox>(&page, "monthMinuteBox");
        minute->setFocus();
        minute->selectAll();
        QTest::keyClick(minute, Qt::Key_Backspace);
        QCOMPARE(minute->text(), QString());
        vorn::BackupProject project;
        project.ftpminute = 77;
        page.Collect(project);
        QCOMPARE(project.ftpminute, 0);

        hour->setText("22");
        hour->setFocus();
        QTest::keyClick(hour, Qt::Key_Up);
        QCOMPARE(hour->text(), QString("23"));
        QTest::keyClick(hour, Qt::Key_Up);
        QCOMPARE(hour->text(), QString("23"));
        hour->setText("1");
        QTest::keyClick(hour, Qt::Key_Down);
        QTest::keyClick(hour, Qt::Key_Down);
        QCOMPARE(hour->text(), QString("0"));
        minute->setFocus();
        QTest::keyClick(minute, Qt::Key_Up); // empty reads as 0
        QCOMPARE(minute->text(), QString("1"));
    }

    void scheduleEnablingFollowsTheChoices()
    {
        vorn::EditorState state;
        FTPScheme page(state);
        QVERIFY(ShowAndWait(&page));
        auto enabled = [&page](const char* name) { return Child<QWidget>(&page, name)->isEnabled(); };

        QVERIFY(Click(&page, "weekRadio"));
        QVERIFY(!enabled("monthGroup") && enabled("weekGroup") && !enabled("dayGroup"));
        QVERIFY(Click(&page, "dayRadio"));
        QVERIFY(!enabled("monthGroup") && !enabled("weekGroup") && enabled("dayGroup"));
        // Inside the day group only the boxes of the chosen kind take input.
        QVERIFY(enabled("everyHourBox") && !enabled("everyMinuteBox") && !enabled("fixedHourBox"));
        QVERIFY(Click(&page, "fixedTimeRadio"));
        QVERIFY(!enabled("everyHourBox") && enabled("fixedHourBox") && enabled("fixedMinuteBox"));
        // The daily kind is remembered across a trip to another mode.
        QVERIFY(Click(&page, "monthRadio"));
        QVERIFY(!enabled("fixedHourBox") && !enabled("dayGroup"));
        QVERIFY(Click(&page, "dayRadio"));
        QVERIFY(enabled("fixedHourBox") && !enabled("everyHourBox"));
        QCOMPARE(page.dailyKind(), FTPScheme::DailyKind::FixedTime);
    }

    void scheduleCollectsDayCodesInOrder()
    {
        vorn::EditorState state;
        FTPScheme page(state);
        QVERIFY(ShowAndWait(&page));
        for (const char* day : { "monthDay31", "monthDay1", "monthDay15" })
            QVERIFY(Click(&page, day));
        TypeInto(Child<NumberBox>(&page, "monthHourBox"), "9");
        vorn::BackupProject project;
        page.Collect(project);
        QCOMPARE(project.ftpplan, (std::vector<std::int32_t> { 1021, 1035, 1051 }));
        QCOMPARE(project.ftphour, 9);

        // The week row shows Sunday first; the codes still go Monday to Sunday.
        QVERIFY(Click(&page, "weekRadio"));
        for (const char* day : { "weekDay1062", "weekDay1058", "weekDay1056" })
            QVERIFY(Click(&page, day));
        project.ftpplan.clear();
        page.Collect(project);
        QCOMPARE(project.ftpplanmode, 2);
        QCOMPARE(project.ftpplan, (std::vector<std::int32_t> { 1056, 1058, 1062 }));
        QCOMPARE(project.ftphour, 8); // from the week group's own box
    }

    void scheduleLoadsAndCollectsStoredSchedules_data()
    {
        QTest::addColumn<int>("planMode");
        QTest::addColumn<std::vector<int>>("plan");
        QTest::addColumn<int>("hour");
        QTest::addColumn<int>("minute");
        QTest::addColumn<int>("dayMode");
        QTest::addColumn<QString>("checkedRadio");
        QTest::addColumn<QStringList>("checkedDays");
        QTest::addColumn<QString>("enabledBox");
        QTest::newRow("month days") << 1 << std::vector<int> { 1021, 1035, 1051 } << 3 << 0 << 0 << "monthRadio"
                                    << QStringList { "monthDay1", "monthDay15", "monthDay31" } << "monthHourBox";
        QTest::newRow("Monday and Sunday") << 2 << std::vector<int> { 1056, 1062 } << 22 << 5 << 0 << "weekRadio"
                                           << QStringList { "weekDay1056", "weekDay1062" } << "weekMinuteBox";
        QTest::newRow("every 3 hours") << 3 << std::vector<int> {} << 3 << 0 << 1 << "everyHourRadio"
                                       << QStringList {} << "everyHourBox";
        QTest::newRow("every 45 minutes") << 3 << std::vector<int> {} << 0 << 45 << 2 << "everyMinuteRadio"
                                          << QStringList {} << "everyMinuteBox";
        QTest::newRow("fixed 14:30") << 3 << std::vector<int> {} << 14 << 30 << 3 << "fixedTimeRadio"
                                     << QStringList {} << "fixedMinuteBox";
    }

    void scheduleLoadsAndCollectsStoredSchedules()
    {
        QFETCH(int, planMode);
        QFETCH(std::vector<int>, plan);
        QFETCH(int, hour);
        QFETCH(int, minute);
        QFETCH(int, dayMode);
        QFETCH(QString, checkedRadio);
        QFETCH(QStringList, checkedDays);
        QFETCH(QString, enabledBox);
        vorn::BackupProject stored;
        stored.ftpplanmode = planMode;
        stored.ftpplan.assign(plan.begin(), plan.end());
        stored.ftphour = hour;
        stored.ftpminute = minute;
        stored.ftpdaymode = dayMode;
        vorn::EditorState state = ModifyState(stored);
        FTPScheme page(state);
        QVERIFY(ShowAndWait(&page));
        QVERIFY(Child<QRadioButton>(&page, checkedRadio.toLatin1().constData())->isChecked());
        for (QCheckBox* box : page.findChildren<QCheckBox*>())
            QCOMPARE(box->isChecked(), checkedDays.contains(box->objectName()));
        QVERIFY(Child<QWidget>(&page, enabledBox.toLatin1().constData())->isEnabled());

        // Collected untouched, the schedule is the one stored.
        vorn::BackupProject collected = stored;
        collected.ftpplan.clear();
        page.Collect(collected);
        QCOMPARE(collected.ftpplanmode, stored.ftpplanmode);
        QCOMPARE(collected.ftpplan, stored.ftpplan);
        QCOMPARE(collected.ftphour, stored.ftphour);
        QCOMPARE(collected.ftpminute, stored.ftpminute);
        QCOMPARE(collected.ftpdaymode, stored.ftpdaymode);
    }

    void scheduleSwitchKeepsTheFieldTheNewKindDoesNotUse()
    {
        vorn::BackupProject stored;
        stored.ftpplanmode = 3;
        stored.ftpdaymode = 3;
        stored.ftphour = 14;
        stored.ftpminute = 30;
        vorn::EditorState state = ModifyState(stored);
        FTPScheme page(state);
        QVERIFY(ShowAndWait(&page));
        QVERIFY(Click(&page, "everyHourRadio"));
        TypeInto(Child<NumberBox>(&page, "everyHourBox"), "2");
        vorn::BackupProject collected = stored;
        page.Collect(collected);
        QCOMPARE(collected.ftpdaymode, 1);
        QCOMPARE(collected.ftphour, 2);
        QCOMPARE(collected.ftpminute, 30);
    }
};

QTEST_MAIN(EditorPagesTest)
#include "EditorPagesTest.moc"
