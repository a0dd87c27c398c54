// The pages of the project dialog and the destination dialog on the offscreen platform:
// defaults, loading a stored project, collecting, enabling and keyboard rules.
#include "EditorTestSupport.h"
#include "editor/CDestFtpOptions.h"
#include "editor/EditorState.h"
#include "editor/FTPCatalog.h"
#include "editor/FTPRule.h"
#include "editor/RemoteFolderList.h"
#include "editor/RuleEditorPage.h"
#include "editor/SchedulePage.h"
#include "gui/NumberBox.h"
#include "gui/Prompt.h"
#include "schedule/Schedule.h"
#include "store/ProjectTexts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
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
    p.ftpdestpath = "/copies";
    p.ftpdestip = "mirror.example.org";
    p.ftpdestport = "21";
    p.ftpiscompress = true;
    p.ftpcompass = "zip-secret";
    return p;
}

vorn::EditorState ModifyState(const vorn::BackupProject& project)
{
    vorn::EditorState state;
    state.isModifying = true;
    state.editedProject = project;
    return state;
}

QString Text(const QObject* root, const char* name)
{
    return Child<QLineEdit>(root, name)->text();
}

bool Enabled(const QObject* root, const char* name)
{
    return Child<QWidget>(root, name)->isEnabled();
}

} // namespace

Q_DECLARE_METATYPE(std::string)

class EditorPagesTest : public QObject {
    Q_OBJECT

private slots:
    void init() { Prompt::resetForTest(); }

    void directoryPageDefaultsLoadAndCollect()
    {
        vorn::EditorState state;
        state.editedProject = StoredProject(); // what an earlier dialog left must not show
        {
            FTPCatalog page(state);
            QVERIFY(ShowAndWait(&page));
            QCOMPARE(Text(&page, "ftpPathEdit"), QString("/"));
            QCOMPARE(Text(&page, "portEdit"), QString("21"));
            QVERIFY(Text(&page, "projectNameEdit").isEmpty() && Text(&page, "serverEdit").isEmpty());
            QVERIFY(Child<QLineEdit>(&page, "serverEdit")->toolTip().contains("ftpes://"));
            // The path changes only by browsing; the port takes digits only.
            auto* path = Child<QLineEdit>(&page, "ftpPathEdit");
            path->setFocus();
            QTest::keyClicks(path, "abc");
            QTest::keyClick(path, Qt::Key_Backspace);
            QTest::keyClick(path, Qt::Key_V, Qt::ControlModifier);
            QCOMPARE(path->text(), QString("/"));
            TypeInto(Child<QLineEdit>(&page, "portEdit"), "2x1-");
            QCOMPARE(Text(&page, "portEdit"), QString("21"));
        }
        state = ModifyState(StoredProject());
        FTPCatalog page(state);
        QVERIFY(ShowAndWait(&page));
        QCOMPARE(Text(&page, "ftpPathEdit"), QString("/www/htdocs"));
        QCOMPARE(Child<RemoteFolderList>(&page, "remoteList")->rowCount(), 0);
        TypeInto(Child<QLineEdit>(&page, "localPathEdit"), "/srv/backup/naïve");
        vorn::BackupProject collected;
        page.Collect(collected);
        const vorn::BackupProject stored = StoredProject();
        QCOMPARE(collected.ftpname, stored.ftpname);
        QCOMPARE(collected.ftpsource, stored.ftpsource);
        QCOMPARE(collected.ftpip, stored.ftpip);
        QCOMPARE(collected.ftpuser, stored.ftpuser);
        QCOMPARE(collected.ftppassword, stored.ftppassword);
        QCOMPARE(collected.ftpport, stored.ftpport);
        QCOMPARE(collected.ftpdest, std::string("/srv/backup/na\xC3\xAFve"));
        QCOMPARE(collected.ftptype, 0); // not this page's field
    }

    void copyRulesCollectsModeBackupAndCompression()
    {
        vorn::EditorState state;
        FTPRule page(state);
        QVERIFY(ShowAndWait(&page));
        QVERIFY(Child<QRadioButton>(&page, "ftpLocalRadio")->isChecked());
        QVERIFY(!Enabled(&page, "showDestButton") && !Enabled(&page, "compressPasswordEdit"));

        vorn::BackupProject project = StoredProject();
        page.Collect(project);
        QCOMPARE(project.ftptype, 1);
        QCOMPARE(project.ftpbackmode, 1);
        QCOMPARE(project.ftpiscompress, false);
        // Ftp->Local writes no destination, and compression off writes no password.
        QCOMPARE(project.ftpdestip, std::string("mirror.example.org"));
        QCOMPARE(project.ftpcompass, std::string("zip-secret"));

        QVERIFY(Click(&page, "compressCheck"));
        TypeInto(Child<QLineEdit>(&page, "compressPasswordEdit"), "new-zip");
        page.Collect(project);
        QCOMPARE(project.ftpiscompress, true);
        QCOMPARE(project.ftpcompass, std::string("new-zip"));
        // Off again: the text stays in the disabled edit but is not collected.
        QVERIFY(Click(&page, "compressCheck"));
        QCOMPARE(Text(&page, "compressPasswordEdit"), QString("new-zip"));
        project.ftpcompass = "before";
        page.Collect(project);
        QCOMPARE(project.ftpcompass, std::string("before"));
    }

    void copyRulesOpensTheDestinationDialogOnceForANewProject()
    {
        vorn::EditorState state;
        state.lastDestination = { "/mirror", "mirror.example.org", "m", "mp", "2121" };
        FTPRule page(state);
        QVERIFY(ShowAndWait(&page));
        QVERIFY(Click(&page, "ftpFtpRadio"));
        QVERIFY(page.destinationDialog());
        QCOMPARE(Text(page.destinationDialog(), "destServerEdit"), QString("mirror.example.org"));
        QVERIFY(Click(page.destinationDialog(), "destCancelButton"));
        QTRY_VERIFY_WITH_TIMEOUT(!page.destinationDialog(), 20000);
        QCOMPARE(page.pageDestination(), vorn::DestinationSettings {});

        // Back and forth: the dialog does not reopen by itself; the button opens it.
        QVERIFY(Click(&page, "ftpLocalRadio"));
        QVERIFY(Click(&page, "ftpFtpRadio"));
        QVERIFY(!page.destinationDialog());
        QVERIFY(Click(&page, "showDestButton"));
        QVERIFY(page.destinationDialog());
        TypeInto(Child<QLineEdit>(page.destinationDialog(), "destUserEdit"), "other");
        QVERIFY(Click(page.destinationDialog(), "destOkButton"));
        QTRY_VERIFY_WITH_TIMEOUT(!page.destinationDialog(), 20000);
        const vorn::DestinationSettings confirmed { "/mirror", "mirror.example.org", "other", "mp", "2121" };
        QCOMPARE(page.pageDestination(), confirmed);
        QCOMPARE(state.lastDestination, confirmed);
        QCOMPARE(vorn::DestinationOf(state.editedProject), confirmed);
    }

    void copyRulesLoadsAStoredFtpToFtpProject()
    {
        const vorn::BackupProject stored = StoredProject();
        vorn::EditorState state = ModifyState(stored);
        state.lastDestination = { "/elsewhere", "other.example.org", "", "", "21" };
        FTPRule page(state);
        QVERIFY(ShowAndWait(&page));
        QVERIFY(Child<QRadioButton>(&page, "ftpFtpRadio")->isChecked());
        QVERIFY(Child<QCheckBox>(&page, "compressCheck")->isChecked());
        QCOMPARE(Text(&page, "compressPasswordEdit"), QString("zip-secret"));
        // The button shows the project's destination, not the last one confirmed.
        QVERIFY(Click(&page, "showDestButton"));
        QCOMPARE(Text(page.destinationDialog(), "destServerEdit"), QString("mirror.example.org"));
        page.destinationDialog()->reject();
        // Saved as Ftp->Local, the stored destination stays as it was.
        QVERIFY(Click(&page, "ftpLocalRadio"));
        vorn::BackupProject project = stored;
        page.Collect(project);
        QCOMPARE(project.ftptype, 1);
        QCOMPARE(vorn::DestinationOf(project), vorn::DestinationOf(stored));
    }

    void destinationDialogChecksAndKeys()
    {
        CDestFtpOptions dialog { vorn::DestinationSettings {}, vorn::ProjectOptions {} };
        QVERIFY(ShowAndWait(&dialog));
        QCOMPARE(Text(&dialog, "destPortEdit"), QString("21"));
        QCOMPARE(Text(&dialog, "destPathEdit"), QString()); // the initial lastDestination
        QVERIFY(Click(&dialog, "destOkButton"));
        QCOMPARE(Prompt::lastShown().text,
            QString("Destition server address is blank, please enter server address!"));
        TypeInto(Child<QLineEdit>(&dialog, "destServerEdit"), "mirror.example.org");
        QVERIFY(Click(&dialog, "destOkButton"));
        QCOMPARE(
            Prompt::lastShown().text, QString("Destinition FTP Path is blank, please select any directory!"));
        QCOMPARE(Prompt::lastShown().caption, QString("Warning"));
        auto* path = Child<QLineEdit>(&dialog, "destPathEdit");
        path->setFocus();
        QTest::keyClicks(path, "/typed");
        QCOMPARE(path->text(), QString());
        PressKey(Child<QLineEdit>(&dialog, "destUserEdit"), Qt::Key_Escape);
        QVERIFY(dialog.isVisible());

        // With a path, Enter outside the login fields presses the default button, OK.
        const vorn::DestinationSettings stored { "/copies", "mirror.example.org", "u", "p", "990" };
        CDestFtpOptions prefilled { stored, vorn::ProjectOptions {} };
        QVERIFY(ShowAndWait(&prefilled));
        PressKey(Child<RemoteFolderList>(&prefilled, "destRemoteList"), Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(!prefilled.isVisible(), 20000);
        QCOMPARE(prefilled.result(), int(QDialog::Accepted));
        QCOMPARE(prefilled.destination(), stored);
        QCOMPARE(Prompt::shownCount(), 2);
    }

    void filterRulePageDefaultsAndEnabling()
    {
        vorn::EditorState state;
        state.editedProject.ftprule = "left^over^"; // New ignores what the record holds
        CSelectRule page(state);
        QVERIFY(ShowAndWait(&page));
        QCOMPARE(Child<QListWidget>(&page, "ruleList")->count(), 0);
        QCOMPARE(Child<QComboBox>(&page, "timeOp1Combo")->currentText(), QString("Any"));
        QCOMPARE(Child<QComboBox>(&page, "sizeOp2Combo")->currentText(), QString("<="));
        QCOMPARE(Child<QComboBox>(&page, "unit1Combo")->currentText(), QString("BYTE"));
        QVERIFY(!Enabled(&page, "deleteRuleButton"));
        auto* filter = Child<QComboBox>(&page, "fileFilterCombo");
        QCOMPARE(filter->itemText(0), QString(".bmp .png .jpg .gif"));
        QCOMPARE(filter->itemText(3), QString("Any Files"));
        QCOMPARE(filter->currentText(), QString("Any Files"));

        const char* timeControls[] = { "date1Edit", "time1Edit", "timeOp2Combo", "date2Edit", "time2Edit" };
        const char* sizeControls[] = { "size1Edit", "unit1Combo", "sizeOp2Combo", "size2Edit", "unit2Combo" };
        const auto all = [&page](const auto& names, bool on) {
            return std::all_of(
                std::begin(names), std::end(names), [&](const char* n) { return Enabled(&page, n) == on; });
        };
        QVERIFY(all(timeControls, false) && all(sizeControls, false));
        Child<QComboBox>(&page, "timeOp1Combo")->setCurrentText(">=");
        QVERIFY(all(timeControls, true) && all(sizeControls, false));
        Child<QComboBox>(&page, "sizeOp1Combo")->setCurrentText("<");
        Child<QComboBox>(&page, "timeOp1Combo")->setCurrentText("Any");
        QVERIFY(all(timeControls, false) && all(sizeControls, true));
    }

    void filterRuleItemTexts_data()
    {
        QTest::addColumn<QString>("filter"); // typed; empty: left at "Any Files"
        QTest::addColumn<QString>("timeOp");
        QTest::addColumn<QString>("sizeOp");
        QTest::addColumn<std::string>("expected");
        const std::string any = Sep + "Modify Time Any" + Sep + "File Size Any";
        QTest::newRow("defaults") << QString() << "Any"
                                  << "Any"
                                  << "File Rule()" + any;
        QTest::newRow("delimiters removed") << "(my).txt^"
                                            << "Any"
                                            << "Any"
                                            << "File Rule(my.txt)" + any;
        // Typing ".mp3" must not complete to the audio preset.
        QTest::newRow("prefix of a preset") << ".mp3"
                                            << "Any"
                                            << "Any"
                                            << "File Rule(.mp3)" + any;
        QTest::newRow("accented letters kept") << QString::fromUtf8("@caf\xC3\xA9 .\xC3\xA2") << "Any"
                                               << "Any"
                                               << "File Rule(@caf\xC3\xA9 .\xC3\xA2)" + any;
        QTest::newRow("CJK kept") << QString::fromUtf8("#\xE6\x97\xA5(\xE8\xAA\x9E).txt") << "Any"
                                  << "Any"
                                  << "File Rule(#\xE6\x97\xA5\xE8\xAA\x9E.txt)" + any;
        QTest::newRow("time range") << ".log"
                                    << ">="
                                    << "Any"
                                    << "File Rule(.log)" + Sep
                + "Modify Time >=12-01-2011 10:00:00|<=12-31-2011 23:59:59" + Sep + "File Size Any";
        QTest::newRow("size range") << QString() << "Any"
                                    << ">="
                                    << "File Rule()" + Sep + "Modify Time Any" + Sep
                + "File Size >=1KB|<=10MB";
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
        QVERIFY(Click(&page, "addRuleButton")); // the same item twice is kept once
        QCOMPARE(page.Items(), std::vector<std::string> { expected });
        vorn::BackupProject project;
        page.Collect(project);
        QCOMPARE(project.ftprule, expected + "^");
        // What the page writes is what a run reads: month-day-year dates, 24-hour times.
        const std::vector<vorn::FilterRule> rules = vorn::ParseFilterRules(project.ftprule);
        if (timeOp == ">=") {
            QCOMPARE(rules.size(), std::size_t(1));
            QCOMPARE(rules[0].timeTest.from, std::string("20111201100000"));
            QCOMPARE(rules[0].timeTest.to, std::string("20111231235959"));
        } else if (sizeOp == ">=") {
            QCOMPARE(rules.size(), std::size_t(1));
            QCOMPARE(rules[0].sizeTest.to, std::uint64_t(10 * 1048576));
        }
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

        // Deleting the first item selects the next one, another item the one before it.
        list->setCurrentRow(0);
        QVERIFY(Click(&page, "deleteRuleButton"));
        QCOMPARE(page.Items(), (std::vector<std::string> { "b" + Sep + "c", "d" }));
        QCOMPARE(list->selectedItems().value(0), list->item(0));
        list->setCurrentRow(1);
        QVERIFY(Click(&page, "deleteRuleButton"));
        QCOMPARE(list->selectedItems().value(0), list->item(0));
        // The last one leaves nothing selected, Delete disabled and an empty rule text.
        QVERIFY(Click(&page, "deleteRuleButton"));
        QCOMPARE(list->count(), 0);
        QVERIFY(!Enabled(&page, "deleteRuleButton"));
        page.Collect(collected);
        QCOMPARE(collected.ftprule, std::string());
    }

    void nameFilterCleaning_data()
    {
        QTest::addColumn<std::string>("typed");
        QTest::addColumn<std::string>("clean");
        QTest::newRow("a with circumflex ends in A2")
            << std::string("\xC3\xA2.txt") << std::string("\xC3\xA2.txt");
        QTest::newRow("A1 A2 inside a character")
            << std::string("\xE3\xA1\xA2x") << std::string("\xE3\xA1\xA2x");
        QTest::newRow("separator at a boundary") << std::string("a\xA1\xA2"
                                                                "b\xA1\xA2")
                                                 << std::string("ab");
        QTest::newRow("stray A2 kept") << std::string("a\xA2") << std::string("a\xA2");
        QTest::newRow("four-byte character")
            << std::string("\xF0\x9F\x98\x80(") << std::string("\xF0\x9F\x98\x80");
    }

    void nameFilterCleaning()
    {
        QFETCH(std::string, typed);
        QFETCH(std::string, clean);
        QCOMPARE(vorn::CleanNameFilter(typed), clean);
    }

    void scheduleDefaultsAndEnabling()
    {
        vorn::EditorState state;
        state.editedProject = StoredProject();
        FTPScheme page(state);
        QVERIFY(ShowAndWait(&page));
        QVERIFY(Child<QRadioButton>(&page, "monthRadio")->isChecked());
        QCOMPARE(Child<NumberBox>(&page, "fixedHourBox")->text(), QString("8"));
        QCOMPARE(Child<NumberBox>(&page, "weekMinuteBox")->text(), QString("30"));
        vorn::BackupProject project;
        page.Collect(project);
        QCOMPARE(project.ftpplanmode, 1);
        QVERIFY(project.ftpplan.empty());
        QCOMPARE(project.ftphour, 8);
        QCOMPARE(project.ftpminute, 30);
        const vorn::ScheduleTexts s = vorn::MakeScheduleTexts(project);
        QCOMPARE(vorn::DescribeSchedule(s.planMode, s.plan, s.hour, s.minute, s.dayMode),
            std::string("No backup scheme."));

        QVERIFY(Enabled(&page, "monthGroup") && !Enabled(&page, "weekGroup") && !Enabled(&page, "dayGroup"));
        QVERIFY(Click(&page, "dayRadio"));
        QVERIFY(!Enabled(&page, "monthGroup") && Enabled(&page, "dayGroup"));
        QVERIFY(Enabled(&page, "everyHourBox") && !Enabled(&page, "everyMinuteBox")
            && !Enabled(&page, "fixedHourBox"));
        QVERIFY(Click(&page, "fixedTimeRadio"));
        QVERIFY(!Enabled(&page, "everyHourBox") && Enabled(&page, "fixedMinuteBox"));
        // The daily kind is remembered across a trip to another mode.
        QVERIFY(Click(&page, "weekRadio"));
        QVERIFY(!Enabled(&page, "fixedHourBox"));
        QVERIFY(Click(&page, "dayRadio"));
        QVERIFY(Enabled(&page, "fixedHourBox") && !Enabled(&page, "everyHourBox"));

        // Week boxes show Sunday first; the codes still go Monday to Sunday.
        QVERIFY(Click(&page, "weekRadio"));
        for (const char* day : { "weekDay1062", "weekDay1058", "weekDay1056" })
            QVERIFY(Click(&page, day));
        project.ftpplan.clear();
        page.Collect(project);
        QCOMPARE(project.ftpplan, (std::vector<std::int32_t> { 1056, 1058, 1062 }));
    }

    void scheduleNumberBoxes_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<bool>("selectAll");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("text");
        // Each key is one change; a change beyond the range is refused as a whole.
        QTest::newRow("25 in an hour box") << "monthHourBox" << true << "25"
                                           << "2";
        QTest::newRow("hour 8 then 5") << "monthHourBox" << false << "5"
                                       << "8";
        QTest::newRow("minute 59") << "monthMinuteBox" << true << "59"
                                   << "59";
        QTest::newRow("minute 60") << "monthMinuteBox" << true << "60"
                                   << "6";
        QTest::newRow("digits only") << "monthHourBox" << true << "a1-"
                                     << "1";
        QTest::newRow("emptied") << "monthMinuteBox" << true << "\b"
                                 << "";
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
        auto* number = Child<NumberBox>(&page, box.toLatin1().constData());
        number->setFocus();
        if (selectAll)
            number->selectAll();
        else
            QTest::keyClick(number, Qt::Key_End);
        for (const QChar key : keys) {
            if (key == u'\b')
                QTest::keyClick(number, Qt::Key_Backspace);
            else
                QTest::keyClick(number, key.toLatin1());
        }
        QCOMPARE(number->text(), text);
        vorn::BackupProject project;
        page.Collect(project);
        QCOMPARE(box.contains("Hour") ? project.ftphour : project.ftpminute, text.toInt()); // "" is 0
        // The spin steps within the box's range.
        number->setText(box.contains("Hour") ? "23" : "59");
        QTest::keyClick(number, Qt::Key_Up);
        QCOMPARE(number->number(), number->maximum());
    }

    void scheduleLoadsAndCollectsStoredSchedules_data()
    {
        QTest::addColumn<int>("planMode");
        QTest::addColumn<QList<int>>("plan");
        QTest::addColumn<int>("hour");
        QTest::addColumn<int>("minute");
        QTest::addColumn<int>("dayMode");
        QTest::addColumn<QString>("checkedRadio");
        QTest::addColumn<QStringList>("checkedDays");
        QTest::newRow("month days") << 1 << QList<int> { 1021, 1035, 1051 } << 3 << 0 << 0 << "monthRadio"
                                    << QStringList { "monthDay1", "monthDay15", "monthDay31" };
        QTest::newRow("Monday and Sunday") << 2 << QList<int> { 1056, 1062 } << 22 << 5 << 0 << "weekRadio"
                                           << QStringList { "weekDay1056", "weekDay1062" };
        QTest::newRow("every 3 hours")
            << 3 << QList<int> {} << 3 << 0 << 1 << "everyHourRadio" << QStringList {};
        QTest::newRow("every 45 minutes")
            << 3 << QList<int> {} << 0 << 45 << 2 << "everyMinuteRadio" << QStringList {};
        QTest::newRow("fixed 14:30") << 3 << QList<int> {} << 14 << 30 << 3 << "fixedTimeRadio"
                                     << QStringList {};
    }

    void scheduleLoadsAndCollectsStoredSchedules()
    {
        QFETCH(int, planMode);
        QFETCH(QList<int>, plan);
        QFETCH(int, hour);
        QFETCH(int, minute);
        QFETCH(int, dayMode);
        QFETCH(QString, checkedRadio);
        QFETCH(QStringList, checkedDays);
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
        vorn::BackupProject collected = stored;
        collected.ftpplan.clear();
        page.Collect(collected);
        QCOMPARE(collected, stored);

        // Switching to every N hours keeps the minute the new kind does not use.
        QVERIFY(Click(&page, "dayRadio"));
        QVERIFY(Click(&page, "everyHourRadio"));
        TypeInto(Child<NumberBox>(&page, "everyHourBox"), "2");
        collected = stored;
        page.Collect(collected);
        QCOMPARE(collected.ftpdaymode, 1);
        QCOMPARE(collected.ftphour, 2);
        QCOMPARE(collected.ftpminute, minute);
    }
};

QTEST_MAIN(EditorPagesTest)
#include "EditorPagesTest.moc"
