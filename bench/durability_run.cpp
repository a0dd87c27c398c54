// One timed run of a stored project with the copies synced one way or another: the driver of
// bench/durability-bench.sh. Usage: durability_run DB PROJECT none|each-file|syncfs
// Prints the run's seconds; exits 0 only when the run ended Success.
#include "engine/BackupRun.h"
#include "engine/Durability.h"
#include "engine/RunControl.h"
#include "engine/TransferFigures.h"
#include "store/ProjectDb.h"

#include <chrono>
#include <cstdio>
#include <string>

int main(int argc, char* argv[])
{
    using namespace vorn;
    if (argc != 4)
        return 2;
    const std::string mode = argv[3];
    if (mode == "none")
        SetCopySyncForMeasurement(CopySync::None);
    else if (mode == "each-file")
        SetCopySyncForMeasurement(CopySync::EachFile);
    else if (mode != "syncfs")
        return 2;
    auto opened = ProjectDb::Open(argv[1]);
    if (!opened.db) {
        std::fprintf(stderr, "%s\n", opened.error.c_str());
        return 1;
    }
    RunControl control;
    TransferFigures figures;
    const auto start = std::chrono::steady_clock::now();
    const RunOutcome outcome
        = RunProject(argv[2], RunEnvironment { opened.db.get(), nullptr, &control, &figures, true });
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("%.3f\n", took.count());
    return outcome == RunOutcome::Success ? 0 : 1;
}
