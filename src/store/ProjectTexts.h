#pragma once

#include "store/BackupProject.h"
#include "store/ProjectDb.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace vorn {

// Texts of the project list, shared by the desktop list and the headless `list` verb.

// "Source Folder": "ftp://" + address + folder, joined without a separator; an address that
// names its scheme ("sftp://host") stands without the "ftp://".
[[nodiscard]] std::string SourceFolderText(std::string_view ftpip, std::string_view ftpsource);
[[nodiscard]] std::string SourceFolderText(const BackupProject& project);
[[nodiscard]] std::string SourceFolderText(const ProjectListRow& row);

// "Destination Folder": the local folder for type 1, "ftp://" + address + folder for type 2,
// and empty for any other type.
[[nodiscard]] std::string DestinationFolderText(
    std::int32_t ftptype, std::string_view ftpdest, std::string_view ftpdestip, std::string_view ftpdestpath);
[[nodiscard]] std::string DestinationFolderText(const BackupProject& project);
[[nodiscard]] std::string DestinationFolderText(const ProjectListRow& row);

// The five schedule columns of a record in their stored text forms, as the schedule
// functions take them.
[[nodiscard]] ScheduleTexts MakeScheduleTexts(const BackupProject& project);

} // namespace vorn
