// Passwords in the keyring: a real Secret Service (gnome-keyring-daemon in a D-Bus session
// of the test's own, see with_keyring.sh), a real database file and a real FTP server; and
// the same program where no session bus can be reached.
#include "../engine/RunHarness.h"
#include "keyring/QtSecretStore.h"
#include "store/RunHistory.h"
#include "store/Secrets.h"
#include "support/TestFiles.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <thread>

using namespace vorn;
using namespace vorn::test;

namespace {

// One column of the plan table, read past the store.
std::string Column(const RunHarness& h, const char* column)
{
    sqlite3* raw = nullptr;
    std::string value = "<none>";
    if (sqlite3_open_v2((h.dir() / "gm_ftp_database.db").c_str(), &raw, SQLITE_OPEN_READONLY, nullptr)
        == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        const std::string sql = std::string("select ") + column + " from gm_ftp_plantable";
        if (sqlite3_prepare_v2(raw, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK
            && sqlite3_step(statement) == SQLITE_ROW)
            value = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        sqlite3_finalize(statement);
    }
    sqlite3_close(raw);
    return value;
}

struct StoreInstalled {
    explicit StoreInstalled(SecretStore* store) { SetSecretStore(store); }
    ~StoreInstalled() { SetSecretStore(nullptr); }
};

} // namespace

TEST(Keyring, PasswordsMoveIntoTheKeyringRunFromThereAndMoveBack)
{
    FtpServer server;
    WriteFile(server.root() / "a.txt", "a");
    RunHarness h;
    BackupProject project = RunHarness::LocalProject(server, "", (h.dir() / "dest").string());
    project.ftpcompass = "zip 'secret'";
    h.Store(project);
    DatabaseSettings settings;
    settings.smtpPassword = "mail pass";
    ASSERT_TRUE(SaveSettings(h.db(), settings));

    QtSecretStore store(std::chrono::seconds(20));
    StoreInstalled installed(&store);
    const Status moved = MoveSecretsToKeyring(h.db(), store);
    ASSERT_TRUE(moved) << moved.message();
    EXPECT_EQ(Column(h, "ftppassword"), "");
    EXPECT_EQ(Column(h, "ftpcompass"), "");
    EXPECT_TRUE(LoadSettings(h.db())->keyring);
    EXPECT_EQ(LoadSettings(h.db())->smtpPassword, "");
    EXPECT_EQ(LoadSettingsWithSecrets(h.db())->smtpPassword, "mail pass");
    const auto ftpid = FindProjectId(h.db(), "nightly").value();
    EXPECT_EQ(store.Read(ProjectSecretKey(h.db(), ftpid, "ftppassword")).value(), server.options().password);

    // Runs read the keyring on threads of their own (the scheduler's, the window's worker).
    std::string fromThread;
    std::thread([&] {
        auto read = store.Read(ProjectSecretKey(h.db(), ftpid, "ftpcompass"));
        fromThread = read ? *read : read.message();
    }).join();
    EXPECT_EQ(fromThread, "zip 'secret'");

    // The run logs in with the password from the keyring.
    EXPECT_EQ(h.Run("nightly"), RunOutcome::Success);
    EXPECT_TRUE(std::filesystem::exists(h.dir() / "dest" / "a.txt"));

    // A password missing from the keyring fails the run with that reason, not at the login.
    ASSERT_TRUE(store.Remove(ProjectSecretKey(h.db(), ftpid, "ftppassword")));
    EXPECT_EQ(h.Run("nightly"), RunOutcome::Fail);
    const auto runs = QueryRuns(h.db(), ftpid);
    ASSERT_FALSE(runs.empty());
    EXPECT_EQ(
        runs.front().reason, "The keyring holds no password (ftppassword) for this project: store it again");
    ASSERT_TRUE(StoreProjectSecret(h.db(), store, ftpid, "ftppassword", server.options().password));
    EXPECT_EQ(h.Run("nightly"), RunOutcome::Success);

    // A password typed into the table while the keyring is on (the project dialog) is swept
    // into the keyring; the others stay as they are.
    project.ftppassword = server.options().password;
    ASSERT_TRUE(UpdateProject(h.db(), "nightly", project));
    ASSERT_TRUE(store.Remove(ProjectSecretKey(h.db(), ftpid, "ftppassword")));
    ASSERT_TRUE(MoveSecretsToKeyring(h.db(), store));
    EXPECT_EQ(Column(h, "ftppassword"), "");
    EXPECT_EQ(store.Read(ProjectSecretKey(h.db(), ftpid, "ftppassword")).value(), server.options().password);
    EXPECT_EQ(LoadSettingsWithSecrets(h.db())->smtpPassword, "mail pass");

    const Status back = MoveSecretsFromKeyring(h.db(), store);
    ASSERT_TRUE(back) << back.message();
    EXPECT_EQ(Column(h, "ftppassword"), server.options().password);
    EXPECT_EQ(Column(h, "ftpcompass"), "zip 'secret'");
    EXPECT_EQ(LoadSettings(h.db())->smtpPassword, "mail pass");
    EXPECT_FALSE(LoadSettings(h.db())->keyring);
    EXPECT_EQ(store.Read(ProjectSecretKey(h.db(), ftpid, "ftpcompass")).error().kind, ErrorKind::Invalid);
}

// Run without a session bus (DBUS_SESSION_BUS_ADDRESS pointing nowhere).
TEST(NoKeyring, ARunOfADatabaseThatKeepsItsPasswordsThereFailsWithTheKeyringsReason)
{
    FtpServer server;
    WriteFile(server.root() / "a.txt", "a");
    RunHarness h;
    BackupProject project = RunHarness::LocalProject(server, "", (h.dir() / "dest").string());
    project.ftppassword.clear(); // as the move left it
    h.Store(project);
    DatabaseSettings settings;
    settings.keyring = true;
    ASSERT_TRUE(SaveSettings(h.db(), settings));

    QtSecretStore store(std::chrono::seconds(20));
    StoreInstalled installed(&store);
    EXPECT_EQ(h.Run("nightly"), RunOutcome::Fail);
    const auto runs = QueryRuns(h.db(), FindProjectId(h.db(), "nightly").value());
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].reason.rfind("The keyring cannot be reached: ", 0), 0u) << runs[0].reason;
    EXPECT_FALSE(std::filesystem::exists(h.dir() / "dest" / "a.txt"));
    // Turning the keyring off needs it too: nothing changes.
    EXPECT_FALSE(MoveSecretsFromKeyring(h.db(), store));
    EXPECT_TRUE(LoadSettings(h.db())->keyring);
}

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
