#include "app/Startup.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    if (const auto status = vorn::AnswerHelpOrVersion(argc, argv))
        return *status;
    QApplication app(argc, argv);
    return vorn::RunDesktop(app);
}
