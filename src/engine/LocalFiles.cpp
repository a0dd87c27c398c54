#include "engine/LocalFiles.h"

#include "common/DecimalText.h"

#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>

namespace vorn {

namespace {

int Field(std::string_view text, std::size_t pos, std::size_t len)
{
    if (pos >= text.size())
        return 0;
    return int(ParseDecimal(text.substr(pos, len)));
}

} // namespace

bool StampLocalFile(const std::string& path, std::string_view listedTime)
{
    if (listedTime.size() < 8)
        return false;
    std::tm tm {};
    tm.tm_year = Field(listedTime, 0, 4) - 1900;
    tm.tm_mon = Field(listedTime, 4, 2) - 1;
    tm.tm_mday = Field(listedTime, 6, 2);
    tm.tm_hour = Field(listedTime, 8, 2);
    tm.tm_min = Field(listedTime, 11, 2);
    tm.tm_sec = 0;
    const std::time_t when = timegm(&tm);
    if (when == std::time_t(-1))
        return false;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = when;
    times[1].tv_nsec = 0;
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

bool StampLocalFileExact(const std::string& path, std::string_view exactTime)
{
    if (exactTime.size() != 14)
        return false;
    std::tm tm {};
    tm.tm_year = Field(exactTime, 0, 4) - 1900;
    tm.tm_mon = Field(exactTime, 4, 2) - 1;
    tm.tm_mday = Field(exactTime, 6, 2);
    tm.tm_hour = Field(exactTime, 8, 2);
    tm.tm_min = Field(exactTime, 10, 2);
    tm.tm_sec = Field(exactTime, 12, 2);
    const std::time_t when = timegm(&tm);
    if (when == std::time_t(-1) || tm.tm_year < 0)
        return false;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = when;
    times[1].tv_nsec = 0;
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

} // namespace vorn
