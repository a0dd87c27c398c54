#pragma once

#include "SampleDatabase.h"

#include <QString>
#include <ctime>
#include <string>

class QAction;
class QWidget;
class QTableView;

namespace vorn::guitest {

// The projects of the sample database (tools/SampleDatabase.h).
using vorn::sample::kArchive;
using vorn::sample::kPhotos;
using vorn::sample::kShop;
using vorn::sample::kWebSite;
using vorn::sample::kWebSiteRunTime;
using vorn::sample::MakeSampleDatabase;

// Finds the action, checks that it is enabled and triggers it. False (with a warning naming
// the action) when it is missing or disabled.
bool TriggerAction(QWidget* root, const char* objectName);

// Forgets every setting the window stored (in the test program's own settings folder), so a
// test starts as a first start does.
void ForgetSettings();

// Clicks (left or right) on the middle of a row of the list, as a user would.
void ClickRow(QTableView* list, int row, bool right = false);

} // namespace vorn::guitest
