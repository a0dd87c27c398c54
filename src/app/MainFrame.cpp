#include "app/MainFrame.h"

CMainFrame::CMainFrame(QWidget* parent)
    : QMainWindow(parent)
{
    setObjectName("mainFrame");
    setWindowTitle("Vorn FTP 2.2.1.0");
    resize(1000, 700);
}
