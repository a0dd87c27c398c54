// Compiled into every test program that links the desktop's test support: the settings the
// window writes (QSettings) go to a folder of the test program's own, removed when it ends,
// never into the configuration of the user who runs the tests.
#include <QCoreApplication>
#include <QSettings>
#include <QTemporaryDir>

namespace {

void IsolateSettings()
{
    static QTemporaryDir folder;
    for (const QSettings::Format format : { QSettings::NativeFormat, QSettings::IniFormat }) {
        QSettings::setPath(format, QSettings::UserScope, folder.path());
        QSettings::setPath(format, QSettings::SystemScope, folder.path());
    }
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(IsolateSettings)
