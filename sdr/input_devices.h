#pragma once
// Opening the receivers; each throws an SdrException when the receiver cannot be opened or set up.

#include <memory>

class Application;
class SdrDevice;

std::unique_ptr<SdrDevice> openRtlDevice(Application& application);
std::unique_ptr<SdrDevice> openAirspyDevice(Application& application);
std::unique_ptr<SdrDevice> openInputFile(Application& application);
