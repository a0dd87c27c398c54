// Saves pictures of the project dialog's five tabs, the destination dialog and the Settings
// dialog, showing a project of the sample database; used by scripts/screenshot. The folder
// lists show rows as a browse would fill them (no server is contacted).
#include "SampleDatabase.h"
#include "editor/CDestFtpOptions.h"
#include "editor/EditorState.h"
#include "editor/FTPNew.h"
#include "editor/RemoteFolderList.h"
#include "editor/SettingsDialog.h"
#include "keyring/QtSecretStore.h"
#include "rules/FilterRule.h"
#include "store/ProjectDb.h"
#include "store/Settings.h"

#include <QApplication>
#include <QDir>
#include <QTabWidget>
#include <QTest>
#include <cstdio>

namespace {

std::vector<vorn::RemoteEntry> SampleRows()
{
    return { { "css", "03/01/2012 09:12", "", false }, { "images", "02/27/2012 18:40", "", false },
        { "js", "02/27/2012 18:41", "", false }, { "index.html", "03/05/2012 08:03", "18244", true },
        { "robots.txt", "01/10/2012", "71", true }, { "shop.php", "03/04/2012 22:17", "9630", true } };
}

bool Save(QWidget* widget, const QString& path)
{
    if (!widget->grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// The Settings dialog with a mail server and a hook filled in (stored in the sample
// database, which the picture is taken from).
bool SaveSettingsDialog(vorn::ProjectDb* db, const QString& outDir)
{
    vorn::DatabaseSettings settings;
    for (const char* setting : { "smtp-host=mail.example.org", "smtp-user=backup", "smtp-password=secret",
             "mail-from=backup@example.org", "mail-to=me@example.org, ops@example.org",
             "hook-url=https://hc-ping.example/5b2f/{event}" })
        (void)vorn::ApplySetting(setting, settings);
    if (!vorn::SaveSettings(db, settings))
        return false;
    // The picture shows the keyring's check box as a desktop program offers it.
    vorn::QtSecretStore keyring;
    vorn::SetSecretStore(&keyring);
    CSettingsDialog dialog(db);
    dialog.show();
    if (!QTest::qWaitForWindowExposed(&dialog))
        return false;
    QApplication::processEvents();
    const bool saved = Save(&dialog, QDir(outDir).filePath("settings-dialog.png"));
    vorn::SetSecretStore(nullptr);
    return saved;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s DATABASE OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    const QString outDir = QString::fromLocal8Bit(argv[2]);
    auto db = vorn::ProjectDb::Open(argv[1]).db;
    if (!db || !vorn::sample::MakeSampleDatabase(argv[1]))
        return 1;

    vorn::EditorState state;
    state.isModifying = true;
    state.selectedName = vorn::sample::kShop;
    if (!vorn::LoadProject(db.get(), state.selectedName, state.editedProject))
        return 1;
    const std::string sep(vorn::kRuleSeparator);
    state.editedProject.ftprule = "File Rule(.php .html .css .js)" + sep + "Modify Time Any" + sep
        + "File Size Any^File Rule(#backup_ @db)" + sep
        + "Modify Time >=01-01-2012 00:00:00|<=12-31-2012 23:59:59" + sep + "File Size <50MB|<=0BYTE^";

    FTPNew dialog(state, db.get());
    dialog.findChild<RemoteFolderList*>("remoteList")->Fill(SampleRows());
    dialog.show();
    if (!QTest::qWaitForWindowExposed(&dialog))
        return 1;
    const char* names[] = { "directory-settings", "copy-rules", "filter-rules", "task-scheduler", "options" };
    for (int tab = 0; tab < dialog.tabs()->count(); ++tab) {
        dialog.tabs()->setCurrentIndex(tab);
        QApplication::processEvents(); // let the page lay itself out
        if (!Save(&dialog, QDir(outDir).filePath(QString("project-dialog-%1.png").arg(names[tab]))))
            return 3;
    }

    CDestFtpOptions destination(vorn::DestinationOf(state.editedProject), vorn::ProjectOptions {}, &dialog);
    destination.findChild<RemoteFolderList*>("destRemoteList")->Fill(SampleRows());
    destination.show();
    if (!QTest::qWaitForWindowExposed(&destination))
        return 1;
    QApplication::processEvents();
    if (!Save(&destination, QDir(outDir).filePath("destination-dialog.png")))
        return 3;
    return SaveSettingsDialog(db.get(), outDir) ? 0 : 3;
}
