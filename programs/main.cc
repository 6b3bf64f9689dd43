// The kel tool: arguments in, exit status out.
#include "cli.h"

int main(int argc, char** argv) { return kel::RunCommandLine(argc, argv); }
