#include "app/cli/Cli.h"
#include "keyring/ProgramKeyring.h"

#include <iostream>

int main(int argc, char* argv[])
{
    // The keyring answers only databases that keep their passwords there (settings keyring=1).
    vorn::ProgramKeyring keyring(argc, argv);
    return vorn::RunCli(argc, argv, std::cout, std::cerr);
}
