#include "app/HelpPages.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace vorn {

QStringList ManualCandidates(
    const QString& startupFolder, const QString& programFolder, const QString& sourceFolder)
{
    const QDir program(programFolder);
    QStringList candidates = { QDir(startupFolder).filePath("docs/index.html"),
        program.filePath("docs/index.html"), program.filePath("../share/vornbackup/index.html"),
        program.filePath("../share/doc/vornbackup/index.html") };
    for (const QString& data : QStandardPaths::standardLocations(QStandardPaths::GenericDataLocation)) {
        candidates << QDir(data).filePath("vornbackup/index.html");
        candidates << QDir(data).filePath("doc/vornbackup/index.html");
    }
    if (!sourceFolder.isEmpty())
        candidates << QDir(sourceFolder).filePath("docs/index.html");
    for (QString& candidate : candidates)
        candidate = QDir::cleanPath(candidate);
    return candidates;
}

QString FindManual(const QString& startupFolder, const QString& programFolder, const QString& sourceFolder)
{
    for (const QString& candidate : ManualCandidates(startupFolder, programFolder, sourceFolder)) {
        if (QFileInfo(candidate).isFile())
            return QFileInfo(candidate).canonicalFilePath();
    }
    return {};
}

QUrl HelpPageUrl(HelpPage page, const QString& manualFile)
{
    QUrl url
        = manualFile.isEmpty() ? QUrl(QString::fromLatin1(kHomePageUrl)) : QUrl::fromLocalFile(manualFile);
    if (page == HelpPage::Tutorial)
        url.setFragment("tutorial");
    else if (page == HelpPage::ErrorReporting)
        url.setFragment("reporting-problems");
    else if (page == HelpPage::Restoring)
        url.setFragment("restoring");
    return url;
}

} // namespace vorn
