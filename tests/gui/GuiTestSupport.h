#pragma once

#include <QString>
#include <ctime>
#include <string>

class QAction;
class QWidget;
class QTableView;

namespace vorn::guitest {

// The projects of the sample database, in stored order.
inline constexpr const char* kWebSite = "WebSite";
inline constexpr const char* kShop = "Shop";
inline constexpr const char* kPhotos = "Photos";
inline constexpr const char* kArchive = "Archive";
// The run time stored for kWebSite (its ftpruntime) by MakeSampleDatabase.
inline constexpr std::time_t kWebSiteRunTime = 1331000709; // 2012-03-06

// Creates a database at `path` with four projects: two Ftp->Local, one Ftp->Ftp, one
// without a schedule; kWebSite has the status "Success" and a stored run time. Returns false
// (and says why on stderr) when the store refuses.
bool MakeSampleDatabase(const std::string& path);

// Finds the action, checks that it is enabled and triggers it. False (with a warning naming
// the action) when it is missing or disabled.
bool TriggerAction(QWidget* root, const char* objectName);

// Forgets every setting the window stored (in the test program's own settings folder), so a
// test starts as a first start does.
void ForgetSettings();

// Clicks (left or right) on the middle of a row of the list, as a user would.
void ClickRow(QTableView* list, int row, bool right = false);

} // namespace vorn::guitest
