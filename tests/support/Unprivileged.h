#pragma once

#include "support/Subprocess.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <limits.h>
#include <string>
#include <unistd.h>

namespace vorn::test {

// What a test run in a child process printed, and how it ended.
struct ChildTestRun {
    int status = -1; // exit status; -1 when it did not end within the time allowed
    std::string output; // its standard output and standard error
};

// Runs the current GoogleTest test again in a child process as the unprivileged user
// nobody (no supplementary groups), through setpriv. For checks that root would pass
// whatever the code does, such as a refused file permission.
inline ChildTestRun RerunCurrentTestAsNobody()
{
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    char self[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return { -1, "cannot read /proc/self/exe" };
    TempDir scratch;
    const auto errors = scratch.path() / "stderr";
    // The build folder may lie below a folder nobody cannot enter (a checkout in root's home):
    // the child runs from a copy in a folder of its own that everyone may enter.
    namespace fs = std::filesystem;
    const fs::path copy = scratch.path() / "test-program";
    std::error_code error;
    fs::copy_file(self, copy, error);
    fs::permissions(
        scratch.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec, error);
    fs::permissions(copy, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec, error);
    if (error)
        return { -1, "cannot copy the test program for nobody: " + error.message() };
    ChildTestRun run;
    {
        Subprocess child(
            { "/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", copy.string(),
                std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name() },
            errors);
        run.output = child.ReadAll(std::chrono::seconds(60)).value_or("");
        run.status = child.Wait(std::chrono::seconds(30)).value_or(-1);
    }
    run.output += ReadFile(errors);
    return run;
}

} // namespace vorn::test
