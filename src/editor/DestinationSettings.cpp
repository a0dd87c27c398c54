#include "editor/DestinationSettings.h"

#include "store/BackupProject.h"

namespace vorn {

DestinationSettings DestinationOf(const BackupProject& project)
{
    return { project.ftpdestpath, project.ftpdestip, project.ftpdestuser, project.ftpdestpass,
        project.ftpdestport };
}

void ApplyDestination(const DestinationSettings& destination, BackupProject& project)
{
    project.ftpdestpath = destination.ftpdestpath;
    project.ftpdestip = destination.ftpdestip;
    project.ftpdestuser = destination.ftpdestuser;
    project.ftpdestpass = destination.ftpdestpass;
    project.ftpdestport = destination.ftpdestport;
}

} // namespace vorn
