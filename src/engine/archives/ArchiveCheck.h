#pragma once

#include "engine/archives/ZipArchive.h"

#include <functional>
#include <string>
#include <vector>

namespace vorn {

// Reads the finished archive at `path` back with `password` and checks that it holds exactly
// the `expected` entries: each one decrypts and decompresses, and its size and CRC-32 are
// those written. Fails with the first problem found, in one line.
[[nodiscard]] Status VerifyArchive(const std::string& path, const std::string& password,
    const std::vector<ZipArchive::WrittenEntry>& expected);

// Where an archive that failed its check is kept: its name says so, and no longer matches
// the project's archive names, so retention and later runs leave it alone.
[[nodiscard]] std::string FailedVerificationPath(const std::string& archivePath);

// For tests: called with the path of each archive a run has closed, before it is checked
// (a test flips a byte there). An empty function removes the hook.
void SetArchiveClosedHookForTesting(std::function<void(const std::string& path)> hook);
void RunArchiveClosedHook(const std::string& path);

} // namespace vorn
