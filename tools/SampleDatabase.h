#pragma once

#include <ctime>
#include <string>

// The sample database of the screenshots and of the window's tests.
namespace vorn::sample {

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

} // namespace vorn::sample
