#pragma once

#include "engine/ConnectionOps.h"
#include "store/ProjectDb.h"
#include "views/FileListModel.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

// What the file panes show, built on their worker threads (no widgets here).

// The row of the parent folder: ".." in FTP listings, "Parent Directory" in local ones.
[[nodiscard]] FileListModel::Entry ParentRow(const QString& name);
// The single row of a pane whose server refused the connection or the login.
[[nodiscard]] FileListModel::Entry ConnectFailedRow();

// ".." first, then the folders, then the files, each group in listing order; the server's
// own "." and ".." are left out. Sizes read "<bytes> byte" for files and are empty for
// folders and for files the listing gives no size for.
[[nodiscard]] std::vector<FileListModel::Entry> MakeFtpRows(const std::vector<vorn::RemoteEntry>& entries);

// The port of a stored project; 0 (which no connection accepts) for a text that is not a
// port, rather than a wrapped number that could reach another service.
[[nodiscard]] std::uint16_t PortNumber(const std::string& text);

// The login to one server of the stored project `name`, with the project's SFTP settings.
[[nodiscard]] vorn::ServerLogin ProjectLogin(vorn::ProjectDb* db, const std::string& name,
    const std::string& host, const std::string& user, const std::string& password, const std::string& port);

enum class RemoteStep {
    Show, // list the project folder `child` below the login folder (the fills)
    Enter, // list the sub-folder `child` of `browsePath`
    Leave, // list the parent of `browsePath`
};

struct RemoteListing {
    bool loggedIn = false;
    bool listed = false;
    std::string browsePath; // the folder listed, when listed
    std::vector<vorn::RemoteEntry> entries;
};

// Logs in on `session` and lists one folder; the session is closed before returning.
[[nodiscard]] RemoteListing ListRemoteFolder(vorn::remote::RemoteSession* session,
    const vorn::ServerLogin& login, RemoteStep step, const std::string& browsePath, const std::string& child);

struct LocalListing {
    bool notAFolder = false; // the path names a file: the pane does not change
    bool readable = false; // the folder could be read (it may be empty)
    std::vector<FileListModel::Entry> rows; // "Parent Directory", folders, then files
};

// Lists a local folder for the destination pane, creating it (one level) when it is missing.
// Names are sorted within each group, as a folder listing reads; the order in which the file
// system enumerates them means nothing to a user. `stale` is asked between entries and ends
// the walk early when it holds.
[[nodiscard]] LocalListing ReadLocalFolder(const std::string& path, const std::function<bool()>& stale);

// `path` made absolute, without "." or ".." parts and without a trailing separator, so the
// parent and child paths below are plain text operations on what the label shows.
[[nodiscard]] std::string NormalLocalPath(const std::string& path);
// The parent of a normal path; none for the root, which is as far up as one can go.
[[nodiscard]] std::optional<std::string> ParentLocalPath(const std::string& path);
[[nodiscard]] std::string ChildLocalPath(const std::string& path, const std::string& name);
