#include "GuiTestSupport.h"

#include "store/BackupProject.h"
#include "store/ProjectDb.h"

#include <QAction>
#include <QSettings>
#include <QTableView>
#include <QTest>
#include <QWidget>
#include <cstdio>

namespace vorn::guitest {

namespace {

BackupProject Project(const char* name, std::int32_t type)
{
    BackupProject p;
    p.ftpname = name;
    p.ftpuser = "backup";
    p.ftppassword = "secret";
    p.ftpport = "21";
    p.ftptype = type;
    return p;
}

} // namespace

bool MakeSampleDatabase(const std::string& path)
{
    ProjectDb::OpenResult opened = ProjectDb::Open(path);
    if (!opened.db) {
        std::fprintf(stderr, "sample database: %s\n", opened.error.c_str());
        return false;
    }
    ProjectDb* db = opened.db.get();

    BackupProject web = Project(kWebSite, 1);
    web.ftpip = "ftp.example.net";
    web.ftpsource = "/www";
    web.ftpdest = "/srv/backup/www";
    web.ftpplanmode = 3; // every day at 02:30
    web.ftpdaymode = 3;
    web.ftphour = 2;
    web.ftpminute = 30;

    BackupProject shop = Project(kShop, 2);
    shop.ftpip = "shop.example.org";
    shop.ftpsource = "/htdocs";
    shop.ftpdestip = "mirror.example.org";
    shop.ftpdestpath = "/copies/shop";
    shop.ftpplanmode = 2; // Mondays and Thursdays at 22:00
    shop.ftpplan = { 1056, 1059 };
    shop.ftphour = 22;

    BackupProject photos = Project(kPhotos, 1);
    photos.ftpip = "192.0.2.15";
    photos.ftpsource = "albums";
    photos.ftpdest = "/srv/backup/photos";
    photos.ftpplanmode = 1; // the 1st and the 15th at 03:00
    photos.ftpplan = { 1021, 1035 };
    photos.ftphour = 3;
    photos.ftpiscompress = true;
    photos.ftpcompass = "zip-pass";

    BackupProject archive = Project(kArchive, 1);
    archive.ftpip = "files.example.com";
    archive.ftpsource = "/pub";
    archive.ftpdest = "/srv/backup/pub";
    archive.ftpplanmode = 0; // no schedule

    for (const BackupProject* p : { &web, &shop, &photos, &archive }) {
        if (!InsertProject(db, *p)) {
            std::fprintf(stderr, "sample database: cannot insert %s\n", p->ftpname.c_str());
            return false;
        }
    }
    return SetProjectStatus(db, kWebSite, "Success", kWebSiteRunTime);
}

bool TriggerAction(QWidget* root, const char* objectName)
{
    auto* action = root->findChild<QAction*>(objectName);
    if (!action) {
        qWarning("action %s not found", objectName);
        return false;
    }
    if (!action->isEnabled()) {
        qWarning("action %s is disabled", objectName);
        return false;
    }
    action->trigger();
    return true;
}

void ClickRow(QTableView* list, int row, bool right)
{
    const QRect cell = list->visualRect(list->model()->index(row, 0));
    QTest::mouseClick(list->viewport(), right ? Qt::RightButton : Qt::LeftButton, {}, cell.center());
}

void ForgetSettings()
{
    QSettings().clear();
}

} // namespace vorn::guitest
