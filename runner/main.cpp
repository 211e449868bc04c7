#include <iostream>

#include "CommandLine.h"

int main(int argc, char** argv) { return varnox::cli::runVarnox(argc, argv, std::cout, std::cerr); }
