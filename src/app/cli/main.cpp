#include "app/cli/Cli.h"

#include <iostream>

int main(int argc, char* argv[])
{
    return vorn::RunCli(argc, argv, std::cout, std::cerr);
}
