#pragma once

#include <QObject>

class CMainFrame;
class QAction;
class QMenu;
class QSystemTrayIcon;

// The notification-area icon and its menu (Show/Hide, New, Home, About, Exit). The menu
// always exists; the icon only where the desktop has a tray. A child of the window.
class Tray : public QObject {
public:
    explicit Tray(CMainFrame* frame);

    [[nodiscard]] QMenu* menu() const { return menu_; }
    // Null where the desktop has no notification area.
    [[nodiscard]] QSystemTrayIcon* icon() const { return icon_; }
    // Minimising hides the window only where there is a tray icon to bring it back from.
    [[nodiscard]] bool hidesOnMinimise() const;
    void ToggleShowHide();
    void RestoreWindow();
    // The program is leaving: the icon goes at once, not when the process ends.
    void HideIcon();
    // Tests: behave as if the desktop had a tray (the offscreen platform has none).
    void SetAvailableForTest(bool available) { availableForTest_ = available; }

private:
    void CreateMenu();
    void UpdateMenu();

    CMainFrame* frame_;
    QMenu* menu_ = nullptr;
    QAction* show_ = nullptr;
    QSystemTrayIcon* icon_ = nullptr;
    bool availableForTest_ = false;
};
