#pragma once

#include <QDialog>

// "About Vorn FTP Backup": version, support address and web site; both links open through
// the desktop.
class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);
};
