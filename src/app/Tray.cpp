#include "app/Tray.h"

#include "app/MainFrame.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>

Tray::Tray(CMainFrame* frame)
    : QObject(frame)
    , frame_(frame)
{
    CreateMenu();
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    icon_ = new QSystemTrayIcon(frame_->windowIcon(), this);
    icon_->setObjectName("trayIcon");
    icon_->setToolTip("Vorn FTP 2.0.1.0");
    icon_->setContextMenu(menu_);
    connect(icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick)
            RestoreWindow();
    });
    icon_->show();
}

void Tray::CreateMenu()
{
    menu_ = new QMenu("Notify", frame_);
    menu_->setObjectName("notifyMenu");
    show_ = menu_->addAction("Show");
    show_->setObjectName("notifyShow");
    connect(show_, &QAction::triggered, this, &Tray::ToggleShowHide);
    menu_->addSeparator();
    QAction* trayNew = menu_->addAction("New");
    trayNew->setObjectName("notifyNew");
    connect(trayNew, &QAction::triggered, frame_, &CMainFrame::OnNew);
    QAction* trayHome = menu_->addAction("Home");
    trayHome->setObjectName("notifyHome");
    connect(trayHome, &QAction::triggered, frame_, [this] { frame_->OpenHelpPage(vorn::HelpPage::Home); });
    QAction* trayAbout = menu_->addAction("About");
    trayAbout->setObjectName("notifyAbout");
    connect(trayAbout, &QAction::triggered, frame_, &CMainFrame::ShowAbout);
    menu_->addSeparator();
    QAction* trayExit = menu_->addAction("Exit");
    trayExit->setObjectName("notifyExit");
    connect(trayExit, &QAction::triggered, frame_, &CMainFrame::OnExit);
    connect(menu_, &QMenu::aboutToShow, this, &Tray::UpdateMenu);
}

bool Tray::hidesOnMinimise() const
{
    return availableForTest_ || (icon_ && QSystemTrayIcon::isSystemTrayAvailable());
}

void Tray::UpdateMenu()
{
    show_->setText(frame_->isVisible() ? "Hide" : "Show");
}

void Tray::ToggleShowHide()
{
    if (frame_->isVisible())
        frame_->showMinimized();
    else
        RestoreWindow();
}

void Tray::RestoreWindow()
{
    frame_->showNormal();
    frame_->raise();
    frame_->activateWindow();
    // A dialog that holds the window's input comes back on top of it.
    if (QWidget* modal = QApplication::activeModalWidget()) {
        modal->show();
        modal->raise();
        modal->activateWindow();
    }
}

void Tray::HideIcon()
{
    if (icon_)
        icon_->hide();
}
