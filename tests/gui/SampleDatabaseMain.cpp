// Writes the sample database of the GUI tests to the path given; used by scripts/screenshot.
#include "GuiTestSupport.h"

#include <cstdio>

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DATABASE\n", argv[0]);
        return 2;
    }
    return vorn::guitest::MakeSampleDatabase(argv[1]) ? 0 : 1;
}
