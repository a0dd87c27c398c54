#include "app/Startup.h"
#include "keyring/ProgramKeyring.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    if (const auto status = vorn::AnswerHelpOrVersion(argc, argv))
        return *status;
    QApplication app(argc, argv);
    // Passwords of databases that keep them in the keyring (settings keyring=1).
    vorn::ProgramKeyring keyring(argc, argv);
    return vorn::RunDesktop(app);
}
