#include "views/PaneListing.h"

#include "common/PortText.h"
#include "common/TimeText.h"
#include "engine/BackupRun.h"
#include "store/ProjectOptions.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

fs::path PathFromUtf8(const std::string& text)
{
    return fs::path(std::u8string(text.begin(), text.end()));
}

std::string Utf8FromPath(const fs::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

QString Text(const std::string& bytes)
{
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QString LocalTimeText(const fs::file_time_type& written)
{
    const auto system = std::chrono::time_point_cast<std::chrono::system_clock::duration>(
        std::chrono::file_clock::to_sys(written));
    return Text(vorn::FormatLocalTime(std::chrono::system_clock::to_time_t(system), "%m/%d/%Y %H:%M"));
}

// Case-insensitive first, so "b" does not follow "Z"; ties by bytes keep the order total.
bool ByName(const FileListModel::Entry& a, const FileListModel::Entry& b)
{
    const int folded = a.name.compare(b.name, Qt::CaseInsensitive);
    return folded != 0 ? folded < 0 : a.rawName < b.rawName;
}

} // namespace

FileListModel::Entry ParentRow(const QString& name)
{
    return { FileListModel::Kind::Parent, name, {}, {} };
}

FileListModel::Entry ConnectFailedRow()
{
    return { FileListModel::Kind::Error, QStringLiteral("Connect Failed!"), {}, {} };
}

std::vector<FileListModel::Entry> MakeFtpRows(const std::vector<vorn::RemoteEntry>& entries)
{
    std::vector<FileListModel::Entry> rows { ParentRow(QStringLiteral("..")) };
    for (const bool files : { false, true }) {
        for (const vorn::RemoteEntry& entry : entries) {
            if (entry.isFile != files || entry.name == "." || entry.name == "..")
                continue;
            FileListModel::Entry row;
            row.kind = files ? FileListModel::Kind::Document : FileListModel::Kind::Folder;
            row.name = Text(entry.name);
            row.rawName = entry.name;
            if (files && !entry.size.empty())
                row.size = Text(entry.size) + QStringLiteral(" byte");
            row.modifyTime = Text(entry.time);
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

std::uint16_t PortNumber(const std::string& text)
{
    return vorn::ParsePort(text).port;
}

vorn::ServerLogin ProjectLogin(vorn::ProjectDb* db, const std::string& name, const std::string& host,
    const std::string& user, const std::string& password, const std::string& port)
{
    vorn::ServerLogin login { host, user, password, PortNumber(port) };
    vorn::ProjectOptions options;
    if (vorn::LoadProjectOptions(db, name, options))
        vorn::ApplySessionOptions(options, login);
    return login;
}

namespace {

RemoteListing ListOnce(vorn::remote::RemoteSession& session, const vorn::ServerLogin& login, RemoteStep step,
    const std::string& browsePath, const std::string& child)
{
    RemoteListing result;
    if (!vorn::ConnectAndLogin(login, session))
        return result;
    result.loggedIn = true;
    std::string path = browsePath;
    switch (step) {
    case RemoteStep::Show:
        path = "/";
        result.listed = bool(child == "/" ? vorn::LeaveRemoteFolder(session, path, result.entries)
                                          : vorn::EnterRemoteFolder(session, child, path, result.entries));
        break;
    case RemoteStep::Enter:
        result.listed = bool(vorn::EnterRemoteFolder(session, child, path, result.entries));
        break;
    case RemoteStep::Leave:
        result.listed = bool(vorn::LeaveRemoteFolder(session, path, result.entries));
        break;
    }
    if (result.listed)
        result.browsePath = path;
    return result;
}

} // namespace

RemoteListing ListRemoteFolder(vorn::remote::RemoteSession* client, const vorn::ServerLogin& login,
    RemoteStep step, const std::string& browsePath, const std::string& child)
{
    if (client == nullptr)
        return {}; // no client speaks the server text's protocol: shown as a failed login
    vorn::remote::RemoteSession& session = *client;
    RemoteListing result = ListOnce(session, login, step, browsePath, child);
    // A server that dropped the session after the login (an idle kick, a restart, a limit of
    // commands) gets one fresh login, as a run's walk does, rather than an empty pane the
    // user has to click again. A refusal on a session that still answers is final.
    if (result.loggedIn && !result.listed) {
        if (const auto probe = session.KeepAlive(); !probe && probe.error().kind == vorn::ErrorKind::Closed) {
            session.Disconnect();
            result = ListOnce(session, login, step, browsePath, child);
        }
    }
    session.Disconnect();
    return result;
}

LocalListing ReadLocalFolder(const std::string& path, const std::function<bool()>& stale)
{
    LocalListing result;
    result.rows.push_back(ParentRow(QStringLiteral("Parent Directory")));
    if (path.empty())
        return result;
    const fs::path folder = PathFromUtf8(path);
    std::error_code error;
    const fs::file_status status = fs::status(folder, error);
    if (fs::exists(status) && !fs::is_directory(status)) {
        result.notAFolder = true;
        return result;
    }
    if (!fs::exists(status))
        (void)fs::create_directory(folder, error); // one level; a failure shows as unreadable

    fs::directory_iterator it(folder, error);
    if (error)
        return result;
    std::vector<FileListModel::Entry> folders;
    std::vector<FileListModel::Entry> files;
    for (; it != fs::directory_iterator(); it.increment(error)) {
        if (error || stale())
            break;
        const fs::directory_entry& entry = *it;
        FileListModel::Entry row;
        row.rawName = Utf8FromPath(entry.path().filename());
        row.name = Text(row.rawName);
        row.localPath = Text(Utf8FromPath(entry.path()));
        std::error_code entryError;
        const bool isFolder = entry.is_directory(entryError);
        row.kind = isFolder ? FileListModel::Kind::Folder : FileListModel::Kind::Document;
        if (!isFolder) {
            const std::uintmax_t size = entry.file_size(entryError);
            if (!entryError)
                row.size = QString::number(static_cast<qulonglong>(size)) + QStringLiteral(" byte");
        }
        const fs::file_time_type written = entry.last_write_time(entryError);
        if (!entryError)
            row.modifyTime = LocalTimeText(written);
        (isFolder ? folders : files).push_back(std::move(row));
    }
    if (error)
        return result;
    std::sort(folders.begin(), folders.end(), ByName);
    std::sort(files.begin(), files.end(), ByName);
    result.readable = true;
    result.rows.insert(
        result.rows.end(), std::make_move_iterator(folders.begin()), std::make_move_iterator(folders.end()));
    result.rows.insert(
        result.rows.end(), std::make_move_iterator(files.begin()), std::make_move_iterator(files.end()));
    return result;
}

std::string NormalLocalPath(const std::string& path)
{
    if (path.empty())
        return path;
    std::error_code error;
    fs::path normal = fs::absolute(PathFromUtf8(path), error);
    if (error)
        normal = PathFromUtf8(path);
    normal = normal.lexically_normal();
    if (!normal.has_filename() && normal.has_relative_path())
        normal = normal.parent_path();
    return Utf8FromPath(normal);
}

std::optional<std::string> ParentLocalPath(const std::string& path)
{
    const fs::path current = PathFromUtf8(path);
    if (path.empty() || !current.has_relative_path())
        return std::nullopt;
    return Utf8FromPath(current.parent_path());
}

std::string ChildLocalPath(const std::string& path, const std::string& name)
{
    return Utf8FromPath(PathFromUtf8(path) / PathFromUtf8(name));
}
