#pragma once
// The whole program: options, input, outputs and the main loop, until it stops.

struct InfoServiceSettings;

// Returns the process's exit status. `services` says where the outside information services are
// (the fixed hosts in the program; tests point them at local servers).
int runProgram(int argc, char* argv[], const InfoServiceSettings& services);
