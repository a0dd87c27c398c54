#pragma once

class CMainFrame;
class QAction;
class QMenuBar;
class QToolBar;

// The commands of the main window as actions, its menus and its toolbar buttons. The window
// owns the actions (they are its children) and sets their availability.
struct MainActions {
    // Makes every action and connects it to the window's command.
    void Create(CMainFrame* frame);
    void AddMenus(CMainFrame* frame, QMenuBar* bar);
    void AddToolBarButtons(QToolBar* toolBar);

    QAction* newAction = nullptr;
    QAction* modifyAction = nullptr;
    QAction* deleteAction = nullptr;
    QAction* exitAction = nullptr;
    QAction* startAction = nullptr;
    QAction* pauseAction = nullptr;
    QAction* stopAction = nullptr;
    QAction* activeModeAction = nullptr;
    QAction* passiveModeAction = nullptr;
    QAction* toolBarAction = nullptr;
    QAction* statusBarAction = nullptr;
    QAction* transmissionAction = nullptr;
    QAction* destinationAction = nullptr;
    QAction* cleanAllAction = nullptr;
    QAction* cleanTransferAction = nullptr;
    QAction* cleanDestinationAction = nullptr;
    QAction* cleanSourceAction = nullptr;
    QAction* helpAction = nullptr;
    QAction* homePageAction = nullptr;
    QAction* tutorialAction = nullptr;
    QAction* errorReportingAction = nullptr;
    QAction* aboutAction = nullptr;
};
