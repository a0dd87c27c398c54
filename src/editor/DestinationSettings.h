#pragma once

#include <string>

namespace vorn {

struct BackupProject;

// The five destination fields of an Ftp->Ftp project, as the destination dialog edits them.
struct DestinationSettings {
    std::string ftpdestpath;
    std::string ftpdestip;
    std::string ftpdestuser;
    std::string ftpdestpass;
    std::string ftpdestport = "21";

    bool operator==(const DestinationSettings&) const = default;
};

[[nodiscard]] DestinationSettings DestinationOf(const BackupProject& project);
void ApplyDestination(const DestinationSettings& destination, BackupProject& project);

} // namespace vorn
