#include "app/HelpPages.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace vorn {

QUrl ManualUrl(HelpPage page, const QString& startupFolder)
{
    const QString programFolder = QCoreApplication::applicationDirPath();
    const QString candidates[]
        = { QDir(startupFolder).filePath("docs/index.html"), QDir(programFolder).filePath("docs/index.html"),
              QDir(programFolder).filePath("../share/doc/vornbackup/index.html") };
    QUrl url(QString::fromLatin1(kHomePageUrl));
    for (const QString& candidate : candidates) {
        if (QFileInfo(candidate).isFile()) {
            url = QUrl::fromLocalFile(QFileInfo(candidate).canonicalFilePath());
            break;
        }
    }
    if (page == HelpPage::Tutorial)
        url.setFragment("tutorial");
    else if (page == HelpPage::ErrorReporting)
        url.setFragment("reporting-problems");
    return url;
}

} // namespace vorn
