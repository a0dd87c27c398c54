#include "store/ProjectTexts.h"

#include "common/DecimalText.h"

namespace vorn {

std::string SourceFolderText(std::string_view ftpip, std::string_view ftpsource)
{
    // A server written with its scheme (sftp://, ftpes://, ftps://) keeps it; a bare name is FTP.
    std::string text = ftpip.find("://") == std::string_view::npos ? "ftp://" : "";
    text += ftpip;
    text += ftpsource;
    return text;
}

std::string SourceFolderText(const BackupProject& project)
{
    return SourceFolderText(project.ftpip, project.ftpsource);
}

std::string SourceFolderText(const ProjectListRow& row)
{
    return SourceFolderText(row.ftpip, row.ftpsource);
}

std::string DestinationFolderText(
    std::int32_t ftptype, std::string_view ftpdest, std::string_view ftpdestip, std::string_view ftpdestpath)
{
    switch (FtpTypeOf(ftptype)) {
    case FtpType::FtpToLocal:
        return std::string(ftpdest);
    case FtpType::FtpToFtp:
        return SourceFolderText(ftpdestip, ftpdestpath);
    case FtpType::Unknown:
        break;
    }
    return {};
}

std::string DestinationFolderText(const BackupProject& project)
{
    return DestinationFolderText(project.ftptype, project.ftpdest, project.ftpdestip, project.ftpdestpath);
}

std::string DestinationFolderText(const ProjectListRow& row)
{
    return DestinationFolderText(ParseDecimal32(row.ftptype), row.ftpdest, row.ftpdestip, row.ftpdestpath);
}

ScheduleTexts MakeScheduleTexts(const BackupProject& project)
{
    return ScheduleTexts { std::to_string(project.ftpplanmode), FormatPlanText(project.ftpplan),
        std::to_string(project.ftphour), std::to_string(project.ftpminute),
        std::to_string(project.ftpdaymode) };
}

} // namespace vorn
