#include "app/MainActions.h"

#include "app/MainFrame.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QToolBar>

namespace {

QAction* MakeAction(QObject* owner, const char* objectName, const QString& text, const QString& prompt,
    const QString& tip = {})
{
    auto* action = new QAction(text, owner);
    action->setObjectName(objectName);
    action->setStatusTip(prompt);
    if (!tip.isEmpty())
        action->setToolTip(tip);
    action->setIconVisibleInMenu(false);
    return action;
}

} // namespace

void MainActions::Create(CMainFrame* frame)
{
    newAction = MakeAction(frame, "actionNew", "New(&F)", "New Project", "New");
    newAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    modifyAction = MakeAction(frame, "actionModify", "Modify(&M)", "Modify", "Modify");
    modifyAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    deleteAction = MakeAction(frame, "actionDelete", "Delete(&D)", "Delete", "Delete");
    // The Delete key too, as in every list; the confirmation names the project.
    deleteAction->setShortcuts({ QKeySequence(Qt::CTRL | Qt::Key_D), QKeySequence(Qt::Key_Delete) });
    exitAction = MakeAction(frame, "actionExit", "Exit(&X)", "Exit the application", "Exit");
    startAction = MakeAction(frame, "actionStart", "Start(&R)", "Run", "Run");
    startAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    pauseAction = MakeAction(frame, "actionPause", "Pause(&P)", "Pause", "Pause");
    pauseAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
    stopAction = MakeAction(frame, "actionStop", "Stop(&S)", "Stop", "Stop");
    stopAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    activeModeAction = MakeAction(frame, "actionActiveMode", "Actvie Mode(&A)", "Actvie Mode");
    passiveModeAction = MakeAction(frame, "actionPassiveMode", "Passive Mode(&P)", "Passive Mode");
    toolBarAction = MakeAction(frame, "actionToolBar", "Tool Bar(&T)", "Hide or show toolbar");
    statusBarAction = MakeAction(frame, "actionStatusBar", "Status Bar(&S)", "Hide or show statusbar");
    transmissionAction
        = MakeAction(frame, "actionTransmissionWindow", "Transmission Window(&F)", "Transmission Window");
    destinationAction
        = MakeAction(frame, "actionDestinationWindow", "Destination Window(&D)", "Local Window");
    cleanAllAction = MakeAction(frame, "actionCleanAll", "All Lists(A)", {});
    cleanTransferAction = MakeAction(frame, "actionCleanTransfer", "Transfer List(&T)", {});
    cleanDestinationAction = MakeAction(frame, "actionCleanDestination", "Destination List(&D)", {});
    cleanSourceAction = MakeAction(frame, "actionCleanSource", "Source List(&S)", {});
    helpAction = MakeAction(frame, "actionHelp", "Help(&H)", "Help", "Help");
    homePageAction = MakeAction(frame, "actionHomePage", "Home Page(&H)", "Home Page", "Home Page");
    tutorialAction = MakeAction(frame, "actionTutorial", "Tutorial(&T)", "Tutorial", "Tutorial");
    errorReportingAction
        = MakeAction(frame, "actionErrorReporting", "Error Reporting(&E)", "Error Reporting", "Reporting");
    aboutAction = MakeAction(frame, "actionAbout", "About Vorn FTP(&A)...",
        "Display program information, version number and copyright", "About");

    for (QAction* checkable : { activeModeAction, passiveModeAction, toolBarAction, statusBarAction,
             transmissionAction, destinationAction })
        checkable->setCheckable(true);

    QObject::connect(newAction, &QAction::triggered, frame, &CMainFrame::OnNew);
    QObject::connect(modifyAction, &QAction::triggered, frame, &CMainFrame::OnModify);
    QObject::connect(deleteAction, &QAction::triggered, frame, &CMainFrame::OnDelete);
    QObject::connect(exitAction, &QAction::triggered, frame, &CMainFrame::OnExit);
    QObject::connect(startAction, &QAction::triggered, frame, &CMainFrame::OnRun);
    QObject::connect(pauseAction, &QAction::triggered, frame, &CMainFrame::OnPauseResume);
    QObject::connect(stopAction, &QAction::triggered, frame, &CMainFrame::OnStop);
    QObject::connect(
        activeModeAction, &QAction::triggered, frame, [frame] { frame->SetTransferModeActive(true); });
    QObject::connect(
        passiveModeAction, &QAction::triggered, frame, [frame] { frame->SetTransferModeActive(false); });
    QObject::connect(toolBarAction, &QAction::triggered, frame, [frame] {
        frame->toolBar()->setVisible(frame->toolBar()->isHidden());
        frame->UpdateCommandStates();
    });
    QObject::connect(statusBarAction, &QAction::triggered, frame, [frame] {
        frame->statusBar()->setVisible(frame->statusBar()->isHidden());
        frame->UpdateCommandStates();
    });
    QObject::connect(transmissionAction, &QAction::triggered, frame, &CMainFrame::ToggleTransmissionWindow);
    QObject::connect(destinationAction, &QAction::triggered, frame, &CMainFrame::ToggleDestinationWindow);
    QObject::connect(cleanAllAction, &QAction::triggered, frame, &CMainFrame::CleanAllLists);
    QObject::connect(cleanTransferAction, &QAction::triggered, frame, &CMainFrame::CleanTransferList);
    QObject::connect(cleanDestinationAction, &QAction::triggered, frame, &CMainFrame::CleanDestinationList);
    QObject::connect(cleanSourceAction, &QAction::triggered, frame, &CMainFrame::CleanSourceList);
    QObject::connect(
        helpAction, &QAction::triggered, frame, [frame] { frame->OpenHelpPage(vorn::HelpPage::Home); });
    QObject::connect(
        homePageAction, &QAction::triggered, frame, [frame] { frame->OpenHelpPage(vorn::HelpPage::Home); });
    QObject::connect(tutorialAction, &QAction::triggered, frame,
        [frame] { frame->OpenHelpPage(vorn::HelpPage::Tutorial); });
    QObject::connect(errorReportingAction, &QAction::triggered, frame,
        [frame] { frame->OpenHelpPage(vorn::HelpPage::ErrorReporting); });
    QObject::connect(aboutAction, &QAction::triggered, frame, &CMainFrame::ShowAbout);
}

void MainActions::AddMenus(CMainFrame* frame, QMenuBar* bar)
{
    auto watch = [frame](QMenu* menu, const char* name) {
        menu->setObjectName(name);
        QObject::connect(menu, &QMenu::aboutToShow, frame, &CMainFrame::UpdateCommandStates);
        return menu;
    };
    QMenu* session = watch(bar->addMenu("Session(&S)"), "menuSession");
    session->addAction(newAction);
    session->addAction(modifyAction);
    session->addAction(deleteAction);
    session->addSeparator();
    session->addAction(exitAction);

    QMenu* command = watch(bar->addMenu("Command(&C)"), "menuCommand");
    command->addAction(startAction);
    command->addSeparator();
    command->addAction(pauseAction);
    command->addAction(stopAction);

    QMenu* mode = watch(bar->addMenu("Transfer Mode(&M)"), "menuTransferMode");
    mode->addAction(activeModeAction);
    mode->addAction(passiveModeAction);

    QMenu* view = watch(bar->addMenu("View(&V)"), "menuView");
    view->addAction(toolBarAction);
    view->addAction(statusBarAction);
    view->addSeparator();
    view->addAction(transmissionAction);
    view->addAction(destinationAction);
    view->addSeparator();
    QMenu* clean = watch(view->addMenu("Clean(&C)"), "menuClean");
    clean->addAction(cleanAllAction);
    clean->addAction(cleanTransferAction);
    clean->addAction(cleanDestinationAction);
    clean->addAction(cleanSourceAction);

    QMenu* help = watch(bar->addMenu("Help(&H)"), "menuHelp");
    help->addAction(helpAction);
    QMenu* online = watch(help->addMenu("Online Services(&O)"), "menuOnlineServices");
    online->addAction(homePageAction);
    online->addSeparator();
    online->addAction(tutorialAction);
    online->addAction(errorReportingAction);
    help->addSeparator();
    help->addAction(aboutAction);
}

void MainActions::AddToolBarButtons(QToolBar* toolBar)
{
    toolBar->setObjectName("mainToolBar");
    toolBar->setIconSize(QSize(32, 32));
    toolBar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    toolBar->setAllowedAreas(Qt::AllToolBarAreas);
    toolBar->addAction(newAction);
    toolBar->addAction(modifyAction);
    toolBar->addAction(deleteAction);
    toolBar->addSeparator();
    toolBar->addAction(startAction);
    toolBar->addAction(pauseAction);
    toolBar->addAction(stopAction);
    toolBar->addSeparator();
    toolBar->addAction(homePageAction);
    toolBar->addAction(aboutAction);
}
