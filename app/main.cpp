#include "app/program.h"
#include "infoservice/json_proxy.h"

int main(int argc, char* argv[]) { return runProgram(argc, argv, InfoServiceSettings()); }
