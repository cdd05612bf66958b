#include "app/program.h"

#include "app/application.h"
#include "app/host_clock.h"
#include "app/logger.h"
#include "app/version.h"
#include "decode/statistics.h"
#include "json-server/jsonserver/src/command_get_stats.h"
#include "json-server/jsonserver/src/google_key_command.h"
#include "json-server/jsonserver/src/http_server.h"
#include "infoservice/json_proxy.h"
#include "infoservice/response_cache.h"
#include "output/air_info.h"
#include "output/base_station_db.h"
#include "output/network_server.h"
#include "output/nmea_output.h"
#include "output/serial_server.h"
#include "sdr/airspy_driver.h"
#include "sdr/device_list.h"
#include "sdr/input_devices.h"
#include "sdr/sdr_device.h"

#include <sys/resource.h>

#include <iostream>
#include <memory>

namespace {

// Local time minus UTC, in seconds, now.
int32_t localUtcOffset() { return localUtcOffsetAt(hostMicros() / 1000000); }

// The objects of the web interface, created only when its port is given.
void createWebInterface(Application& app, const InfoServiceSettings& services) {
  const Config& config = *app.config;
  app.pictureLookup = std::make_unique<PictureLookup>(config);
  if (!config.baseStationDbPath.empty()) {
    app.baseStationDb = std::make_unique<BaseStationDb>(config, app.pictureLookup.get());
  }
  app.airInfo = std::make_unique<AirInfo>(config, app.baseStationDb.get());
  app.statistics = std::make_unique<Statistics>(config, app.receiverPosition.get(), app.airInfo.get(), localUtcOffset());
  app.airInfo->setAircraftTable(&app.statistics->aircraftTable());
  app.responseCache = std::make_unique<ResponseCache>();
  app.httpServer = std::make_unique<HttpServer>(&webFileTable(), hostSeconds());
  app.httpServer->addCommand(std::make_shared<CommandGetStats>(app));
  app.httpServer->addCommand(std::make_shared<GoogleKeyCommand>(app));
  // Outside services, only on the page's request; answered on the application's I/O service.
  app.httpServer->addCommand(
      std::make_shared<JsonProxy>(app, *app.ioService, *app.httpServer, app.responseCache.get(), services));
  if (!config.silhouettesDir.empty()) app.httpServer->addStaticDirectory(silhouettesUrlPrefix, config.silhouettesDir, true);
  if (!config.picturesDir.empty()) app.httpServer->addStaticDirectory(picturesUrlPrefix, config.picturesDir, false);
  if (!config.webUser.empty()) app.httpServer->setAuth(config.webUser + ":" + config.webPassword);
}

// The GPS emulation follows the aircraft of the option "nmea"; its log file needs "nmea" too.
void createGpsEmulation(Application& app) {
  const Config& config = *app.config;
  if (config.nmeaPort.empty()) return;
  app.nmeaTarget->setIcao(config.nmeaIcao);
  app.serialServer = SerialServer::create(app.ioService, config.nmeaPort, static_cast<uint32_t>(config.nmeaBaudRate));
  if (!config.nmeaLogPath.empty()) app.nmeaLogFile = std::make_unique<NmeaLogFile>(config.nmeaLogPath);
}

// Every feed and web client takes a descriptor; the usual soft limit of 1024 is far below what
// the hard limit allows.
void raiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  const rlim_t wanted = limit.rlim_max;
  limit.rlim_cur = wanted;
  if (setrlimit(RLIMIT_NOFILE, &limit) == 0 || wanted != RLIM_INFINITY) return;
  // An unlimited hard limit is still capped by the kernel's own maximum.
  limit.rlim_cur = 1 << 20;
  setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

int runProgram(int argc, char* argv[], const InfoServiceSettings& services) {
  auto application = std::make_unique<Application>();
  setConsoleOutput(true, LoggingLevel::INFO);

  const int parsed = parseCommandLine(*application->config, argc, argv);
  if (parsed == kCommandLineError) return 2;
  if (parsed != kCommandLineGoOn) return 0;
  const Config& config = *application->config;

  if (config.deviceList) {
    printDeviceList(std::cout, systemAirspyDriver());
    return 0;
  }

  raiseDescriptorLimit();

  std::unique_ptr<SdrDevice> input;
  try {
    if (!config.inputFile.empty()) {
      input = openInputFile(*application);
    } else if (config.useAirspy) {
      input = openAirspyDevice(*application);
    } else {
      input = openRtlDevice(*application);
    }
  } catch (const SdrException& e) {
    logError(std::string("Can't open device: ") + e.what());
    application.reset();
    return 1;
  }

  try {
    application->createOutputServers();
    createGpsEmulation(*application);
    if (config.webPort != 0) createWebInterface(*application, services);
    application->start(std::move(input));
  } catch (const NetworkServerException&) {
    application.reset();  // the server has logged which step failed
    return 1;
  } catch (const BaseStationDbException&) {
    application.reset();  // the writer has logged the path and SQLite's reason
    return 1;
  } catch (const std::exception& e) {
    // Nothing can run without the component that failed.
    logError(std::string("Start-up failed: ") + e.what());
    application.reset();
    return 1;
  }

  application->ioService->run();

  application->stop();
  const int status = application->exitStatus();
  application.reset();
  logInfo("Closed successfully");
  return status;
}
