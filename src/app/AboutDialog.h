#pragma once

#include <QDialog>
#include <functional>

// "About Vorn FTP Backup": version, support address and web site; both links open through
// the desktop. `openWebSite`, when given, replaces opening the web address (the main window
// opens the installed manual there).
class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr, std::function<void()> openWebSite = {});
};
