#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vorn {

// Where a project copies to: the stored ftptype 1 ("Ftp->Local") or 2 ("Ftp->Ftp"). Any
// other stored number is Unknown, a project no run or view can use.
enum class FtpType : std::int32_t { Unknown = 0, FtpToLocal = 1, FtpToFtp = 2 };

// The only conversions between the stored number and FtpType.
[[nodiscard]] constexpr FtpType FtpTypeOf(std::int32_t stored)
{
    return stored == 1 ? FtpType::FtpToLocal : stored == 2 ? FtpType::FtpToFtp : FtpType::Unknown;
}
[[nodiscard]] constexpr std::int32_t StoredFtpType(FtpType type)
{
    return static_cast<std::int32_t>(type);
}

// One backup project: one row of gm_ftp_plantable. Fields carry the names of the table's
// columns, in the table's order. Texts are UTF-8 bytes, stored and read back unchanged.
struct BackupProject {
    std::string ftpname;
    std::string ftpsource;
    std::string ftpdest;
    std::string ftpip;
    std::string ftpuser;
    std::string ftppassword;
    std::string ftpport;
    bool ftpactive = false;
    std::int32_t ftpbackmode = 0;
    std::int32_t ftptype = 0;
    std::string ftprule;
    std::int32_t ftpplanmode = 0;
    std::vector<std::int32_t> ftpplan;
    std::int32_t ftphour = 0;
    std::int32_t ftpminute = 0;
    std::int32_t ftpdaymode = 0;
    std::string ftpdestpath;
    std::string ftpdestip;
    std::string ftpdestuser;
    std::string ftpdestpass;
    std::string ftpdestport;
    bool ftpiscompress = false;
    std::string ftpcompass;

    [[nodiscard]] FtpType type() const { return FtpTypeOf(ftptype); }

    bool operator==(const BackupProject&) const = default;
};

// The stored text form of a plan list: every code followed by "|" ("1021|1035|1051|").
[[nodiscard]] std::string FormatPlanText(const std::vector<std::int32_t>& plan);

// Reads a plan text and appends its codes to `plan`. A final piece without "|" is dropped.
void AppendPlanCodes(const std::string& text, std::vector<std::int32_t>& plan);

} // namespace vorn
