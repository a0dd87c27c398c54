// Folder and file commands: the working folder, listings, CWD, MKD, DELE, renames, SIZE and times.
#include "common/DecimalText.h"
#include "ftpclient/FtpImpl.h"
#include "ftpclient/FtpReplies.h"
#include "ftpclient/Listing.h"

#include <algorithm>
#include <ctime>
#include <optional>
#include <utility>

namespace sf {

Ftp::DirectoryResponse Ftp::GetWorkingDirectory()
{
    std::lock_guard lock(impl_->mutex);
    Response response = impl_->Command("PWD");
    if (response.GetStatus() != 257)
        return DirectoryResponse(
            response.IsOk() ? Response(Response::InvalidResponse, response.GetMessage()) : response, "");
    auto folder = vorn::ftp::ParseQuotedPath(response.GetMessage());
    if (!folder)
        return DirectoryResponse(
            Response(Response::InvalidResponse, "No folder in the answer to PWD: " + response.GetMessage()),
            "");
    return DirectoryResponse(response, std::move(*folder));
}

namespace {

// The entries of a listing's `data`, MLSD or LIST lines.
std::vector<Info> ParseEntries(const std::string& data, bool mlsd)
{
    std::vector<Info> entries;
    const std::time_t now = std::time(nullptr);
    std::size_t start = 0;
    while (start < data.size()) {
        auto end = data.find('\n', start);
        if (end == std::string::npos)
            end = data.size();
        std::string_view line(data.data() + start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty())
            continue;
        // Lines that list nothing come back empty; lines that cannot be read come back as
        // entries marked unusable, which the walk reports.
        auto info = mlsd ? vorn::ftp::ParseMlsdLine(line) : vorn::ftp::ParseListLine(line, now);
        if (!info)
            continue;
        // A name that cannot be a name here still reaches the caller, marked, so that a backup
        // reports it instead of leaving it out in silence.
        if (info->unusable.empty() && !vorn::ftp::IsSafeEntryName(info->name) && info->name != "."
            && info->name != "..")
            info->unusable = "The server listed a name that cannot be a file name here.";
        entries.push_back(std::move(*info));
    }
    return entries;
}

// A batch is small enough that neither side's buffers fill while the other writes.
constexpr std::size_t kTimesBatch = 64;

} // namespace

Ftp::ListingResponse Ftp::GetDirectoryListing(const std::string& directory, const TimesWanted& wanted)
{
    std::lock_guard lock(impl_->mutex);
    Impl& s = *impl_;
    if (!s.Connected())
        return ListingResponse(s.NotConnected(), {});
    std::string data;
    bool mlsd = s.useMlsd;
    std::optional<std::vector<Info>> entries;
    // The entries are known once the data has ended: the times wanted go out before the 226.
    const Impl::DataEnded askTimes = [&](const std::string& listed) {
        entries = ParseEntries(listed, mlsd);
        s.SendTimesAhead(wanted(*entries));
    };
    Response response = s.ReadListing(mlsd ? "MLSD" : "LIST", directory, data, wanted ? askTimes : nullptr);
    // Some servers announce MLST but do not implement MLSD.
    if (mlsd && (response.GetStatus() == 500 || response.GetStatus() == 502)) {
        s.useMlsd = mlsd = false;
        data.clear();
        entries.reset();
        response = s.ReadListing("LIST", directory, data, wanted ? askTimes : nullptr);
    }
    if (!response.IsOk())
        return ListingResponse(response, {});
    return ListingResponse(response, entries ? std::move(*entries) : ParseEntries(data, mlsd));
}

Ftp::Response Ftp::ChangeDirectory(const std::string& directory)
{
    std::lock_guard lock(impl_->mutex);
    if (std::exchange(impl_->listingExpected, false))
        return impl_->EnterAndList(directory);
    return Completed(impl_->Command("CWD", directory), "CWD");
}

Ftp::Response Ftp::ParentDirectory()
{
    std::lock_guard lock(impl_->mutex);
    return Completed(impl_->Command("CDUP"), "CDUP");
}

Ftp::Response Ftp::MakeDirectory(const std::string& name)
{
    std::lock_guard lock(impl_->mutex);
    return Completed(impl_->Command("MKD", name), "MKD");
}

Ftp::Response Ftp::DeleteFile(const std::string& name)
{
    std::lock_guard lock(impl_->mutex);
    return Completed(impl_->Command("DELE", name), "DELE");
}

Ftp::Response Ftp::Rename(const std::string& file, const std::string& newName)
{
    std::lock_guard lock(impl_->mutex);
    return impl_->RenameRaw(file, newName);
}

bool Ftp::Supports(const std::string& feature) const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->features.count(feature) > 0;
}

Ftp::Response Ftp::ModificationTime(const std::string& remotePath, std::string& time)
{
    std::lock_guard lock(impl_->mutex);
    return impl_->FileTime(remotePath, time);
}

Ftp::Response Ftp::ModificationTimes(const std::vector<std::string>& paths, std::vector<std::string>& times)
{
    std::lock_guard lock(impl_->mutex);
    Impl& s = *impl_;
    times.assign(paths.size(), std::string());
    for (std::size_t first = 0; first < paths.size(); first += kTimesBatch) {
        const std::size_t end = std::min(paths.size(), first + kTimesBatch);
        const std::vector<std::string> lines = Impl::TimeLines(paths, first);
        // The first batch may have gone out with the listing already.
        const bool sent = first == 0 && !s.aheadTimes.empty() && s.aheadTimes == lines;
        if (sent)
            s.aheadTimes.clear();
        else if (!s.SendAll(lines))
            return s.Connected() ? Response(Response::InvalidArgument, "A path cannot be sent.")
                                 : s.NotConnected();
        // Every command gets exactly one answer in order; a refusal leaves that time empty.
        for (std::size_t i = first; i < end; ++i) {
            const Response answer = s.Collect();
            if (!s.Connected())
                return answer;
            const std::string& text = answer.GetMessage();
            if (answer.GetStatus() == 213 && text.size() >= 14 && lines[i - first] != "NOOP"
                && std::all_of(text.begin(), text.begin() + 14, [](char c) { return c >= '0' && c <= '9'; }))
                times[i] = text.substr(0, 14);
        }
    }
    return Response(213, "");
}

std::vector<std::string> Ftp::Impl::TimeLines(const std::vector<std::string>& paths, std::size_t first)
{
    std::vector<std::string> lines;
    for (std::size_t i = first; i < std::min(paths.size(), first + kTimesBatch); ++i)
        lines.push_back(CanTravelInCommand(paths[i]) ? "MDTM " + paths[i] : std::string("NOOP"));
    return lines;
}

void Ftp::Impl::SendTimesAhead(const std::vector<std::string>& paths)
{
    if (paths.empty() || features.count("MDTM") == 0 || !Connected())
        return;
    std::vector<std::string> lines = TimeLines(paths, 0);
    // The listing's final reply is still to be read: it stays queued.
    if (SendAll(lines, true))
        aheadTimes = std::move(lines);
}

void Ftp::Impl::SettleTimes()
{
    const std::size_t unread = std::exchange(aheadTimes, {}).size();
    for (std::size_t i = 0; i < unread && Connected(); ++i)
        (void)Collect();
}

Ftp::Response Ftp::Impl::FileTime(const std::string& remotePath, std::string& time)
{
    time.clear();
    Response response = Command("MDTM", remotePath);
    const std::string& text = response.GetMessage();
    if (response.GetStatus() != 213)
        return response;
    if (text.size() < 14
        || !std::all_of(text.begin(), text.begin() + 14, [](char c) { return c >= '0' && c <= '9'; }))
        return Response(Response::InvalidResponse, "Unexpected answer to MDTM: " + text);
    time = text.substr(0, 14);
    return response;
}

Ftp::Response Ftp::Size(const std::string& remotePath, std::int64_t& size)
{
    std::lock_guard lock(impl_->mutex);
    size = -1;
    // A size is a byte count only in binary: some servers refuse SIZE in ASCII.
    Response response = impl_->SetType(Binary);
    if (!response.IsOk())
        return response;
    response = impl_->Command("SIZE", remotePath);
    const std::string& text = response.GetMessage();
    if (response.GetStatus() != 213)
        return response;
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
        return Response(Response::InvalidResponse, "Unexpected answer to SIZE: " + text);
    size = vorn::ParseDecimal(text);
    return response;
}

namespace {

// Some servers take a time before the path in MDTM and say so in FEAT
// ("MDTM YYYYMMDDHHMMSS[+-TZ];filename"); to the others that form is a request to read.
bool MdtmSetsTime(const std::set<std::string>& features)
{
    return std::any_of(features.begin(), features.end(), [](const std::string& feature) {
        return feature.rfind("MDTM ", 0) == 0 && feature.find("YYYYMMDD") != std::string::npos;
    });
}

} // namespace

bool Ftp::CanSetModificationTime() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->features.count("MFMT") > 0 || MdtmSetsTime(impl_->features);
}

Ftp::Response Ftp::SetModificationTime(const std::string& remotePath, const std::string& time)
{
    std::lock_guard lock(impl_->mutex);
    const char* verb = impl_->features.count("MFMT") > 0 ? "MFMT"
        : MdtmSetsTime(impl_->features)                  ? "MDTM"
                                                         : nullptr;
    if (verb == nullptr)
        return Response(502, "The server offers no command that sets a file's time.");
    if (time.size() != 14
        || !std::all_of(time.begin(), time.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return Response(Response::InvalidArgument, "\"" + time + "\" is not a time of 14 digits.");
    Response response = impl_->Command(verb, time + " " + remotePath);
    // MFMT answers 213; servers that set the time by MDTM answer other 2xx codes (253).
    if (response.IsOk() && response.GetStatus() / 100 != 2)
        return Response(Response::InvalidResponse,
            "Unexpected answer to " + std::string(verb) + ": " + response.GetMessage());
    return response;
}

} // namespace sf
