// Writes the sample database of the GUI tests to the path given; used by scripts/screenshot.
// With a server and a folder, the first project backs that server up into the folder, so a
// real backup can run before the picture is taken.
#include "SampleDatabase.h"
#include "store/BackupProject.h"
#include "store/ProjectDb.h"

#include <cstdio>

int main(int argc, char* argv[])
{
    if (argc != 2 && argc != 7) {
        std::fprintf(stderr, "usage: %s DATABASE [HOST PORT USER PASSWORD DESTINATION]\n", argv[0]);
        return 2;
    }
    if (!vorn::sample::MakeSampleDatabase(argv[1]))
        return 1;
    if (argc == 2)
        return 0;
    auto db = vorn::ProjectDb::Open(argv[1]).db;
    vorn::BackupProject project;
    if (!db || !vorn::LoadProject(db.get(), vorn::sample::kWebSite, project)) {
        std::fprintf(stderr, "sample database: cannot load %s\n", vorn::sample::kWebSite);
        return 1;
    }
    project.ftpip = argv[2];
    project.ftpport = argv[3];
    project.ftpuser = argv[4];
    project.ftppassword = argv[5];
    project.ftpsource = "/";
    project.ftpdest = argv[6];
    if (!vorn::UpdateProject(db.get(), vorn::sample::kWebSite, project)) {
        std::fprintf(stderr, "sample database: cannot update %s\n", vorn::sample::kWebSite);
        return 1;
    }
    return 0;
}
