#pragma once

#include "common/Result.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace vorn {

// Turns the client's answers into the one-line reasons a user reads in the status list, on
// the command line and in the run history.

// A server's refusal as "550 Permission denied." (code and text, on one line); the client's
// own message for a failure that never reached the server.
[[nodiscard]] std::string ReplyReason(const Error& error);

// Why connecting to `hostText` (as the user typed it, scheme included) failed: "No answer
// from 127.0.0.1:21 within 30 s" when the server kept silent for `waited`, "Certificate not
// trusted: ... (ftpes://host)" for a refused certificate, else the client's message.
[[nodiscard]] std::string ConnectReason(
    const Error& error, const std::string& hostText, std::uint16_t port, std::chrono::milliseconds waited);

// "Login refused: 530 Login incorrect." for a refused login, else as ReplyReason.
[[nodiscard]] std::string LoginReason(const Error& error);

// Why a download into `localPath` failed: "Disk full writing /backup/x.bin" when the local
// file system ran out of space, else as ReplyReason.
[[nodiscard]] std::string DownloadReason(const Error& error, const std::string& localPath);

// "30 s", "0.5 s": how long a wait lasted, in a reason.
[[nodiscard]] std::string DescribeWait(std::chrono::milliseconds waited);

// Why writing the archive at `archivePath` failed: "Disk full writing ..." when the disk ran
// out of space, else the archive's own message.
[[nodiscard]] std::string ArchiveReason(const Error& error, const std::string& archivePath);

// Line breaks of a multi-line reply become spaces; surrounding blanks go.
[[nodiscard]] std::string OneLine(const std::string& text);

} // namespace vorn
