#include "app/ToolbarIcons.h"

#include "gui/Resources.h"

#include <QDir>
#include <QImageReader>
#include <QPixmap>

namespace vorn {

namespace {

const char* const kFiles[]
    = { "New.ico", "modify.ico", "delete.ico", "run.ico", "pause.ico", "stop.ico", "home.ico", "about.ico" };
const char* const kBuiltin[] = { "new", "modify", "delete", "run", "pause", "stop", "home", "about" };

} // namespace

std::optional<std::vector<QIcon>> LoadToolbarIconFiles(const QString& folder)
{
    const QDir images(QDir(folder).filePath("images"));
    std::vector<QIcon> icons;
    for (const char* file : kFiles) {
        QImageReader reader(images.filePath(QString::fromLatin1(file)));
        reader.setScaledSize(QSize(32, 32));
        const QImage image = reader.read();
        if (image.isNull())
            return std::nullopt;
        icons.emplace_back(QPixmap::fromImage(image));
    }
    return icons;
}

std::vector<QIcon> BuiltinToolbarIcons()
{
    EnsureResources();
    std::vector<QIcon> icons;
    for (const char* name : kBuiltin)
        icons.emplace_back(QStringLiteral(":/icons/tool-%1.png").arg(QString::fromLatin1(name)));
    return icons;
}

} // namespace vorn
