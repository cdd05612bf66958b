#include "app/application.h"

#include "app/logger.h"
#include "decode/frame_sink.h"
#include "decode/message_decoder.h"
#include "decode/message_filter.h"
#include "decode/receiver_position.h"
#include "decode/statistics.h"
#include "json-server/jsonserver/src/http_server.h"
#include "infoservice/response_cache.h"
#include "output/air_info.h"
#include "output/base_station_db.h"
#include "output/network_server.h"
#include "output/nmea_output.h"
#include "output/serial_server.h"
#include "sdr/sdr_decoder.h"
#include "sdr/sdr_device.h"

#include <boost/asio/post.hpp>

#include <csignal>

Application::Application()
    : ioService(std::make_shared<boost::asio::io_context>()),
      config(std::make_unique<Config>()),
      mainThread(std::this_thread::get_id()) {
  frameSink = std::make_unique<FrameSink>(*this);
  messageFilter = std::make_unique<MessageFilter>();
  messageDecoder = std::make_unique<MessageDecoder>();
  receiverPosition = std::make_unique<ReceiverPosition>();
  nmeaTarget = std::make_unique<NmeaTargetTracker>();
  signals = std::make_unique<boost::asio::signal_set>(*ioService);
  signals->add(SIGINT);
  signals->add(SIGTERM);
}

Application::~Application() {
  signals.reset();
  httpServer.reset();
  statistics.reset();
  airInfo.reset();
  baseStationDb.reset();
  pictureLookup.reset();
  responseCache.reset();
  nmeaLogFile.reset();
  device.reset();
  decoder.reset();
  frameSink.reset();
  messageFilter.reset();
  messageDecoder.reset();
  receiverPosition.reset();
  config.reset();
  nmeaTarget.reset();
  serialServer.reset();
  msgServer.reset();
  sbsServer.reset();
  beastServer.reset();
  avrMlatAirspyServer.reset();
  avrMlatServer.reset();
  avrServer.reset();
  ioService.reset();
}

void Application::createOutputServers() {
  const auto make = [this](uint32_t port, const char* name, bool sbs) -> std::shared_ptr<NetworkServer> {
    if (port == 0) return nullptr;
    auto server = NetworkServer::create(ioService, port, name, sbs);
    logInfo(std::string("Start ") + name + " Server on port " + std::to_string(port));
    return server;
  };
  avrServer = make(config->avrPort, "AVR", false);
  avrMlatServer = make(config->avrMlatPort, "AVRMLAT", false);
  avrMlatAirspyServer = make(config->avrMlatAirspyPort, "AVRMLAT AirSpy", false);
  beastServer = make(config->beastPort, "Beast", false);
  sbsServer = make(config->sbsPort, "SBS10001", true);
  msgServer = make(config->msgPort, "MSG", false);
}

void Application::start(std::unique_ptr<SdrDevice> inputDevice) {
  phase = Phase::Starting;
  device = std::move(inputDevice);

  for (const auto* server : {&avrServer, &avrMlatServer, &avrMlatAirspyServer, &sbsServer, &beastServer, &msgServer}) {
    if (*server) (*server)->start();
  }

  // A database that cannot be opened, or has not the tables, stops start-up (the writer has
  // logged why).
  if (baseStationDb && !config->baseStationDbPath.empty()) {
    baseStationDb->open(config->baseStationDbPath);
    baseStationDb->openSession();
  }
  if (airInfo) airInfo->start();

  if (httpServer) {
    try {
      httpServer->start(static_cast<int>(config->webPort));
    } catch (const HttpServerException& e) {
      // The feeds, statistics and database carry on without the page.
      logError(std::string("Unable to start HTTP server: ") + e.what());
    }
  }

  // A port that cannot be opened is retried in the background; a log file that cannot be
  // opened is reported and the sentences still go to the port.
  if (serialServer) serialServer->open();
  if (nmeaLogFile) nmeaLogFile->open();

  decoder = device->createDecoder(*this);
  decoder->start();

  messageFilter->setMinimumCount(config->filterCount);
  messageFilter->setRecordExpiry(config->filterExpire);
  messageFilter->setCountryCheck(config->countryCheck);
  messageFilter->setMinimumTime(config->filterTime);
  messageFilter->setInterrogatorCodeFilter(config->icFilter);

  msgLocalTimeFlag = config->msgLocalTime;

  if (config->locationGiven) receiverPosition->fix(config->locationLat, config->locationLon);

  device->start();

  signals->async_wait([this](const boost::system::error_code&, int) { stop(); });

  Phase expected = Phase::Starting;
  if (!phase.compare_exchange_strong(expected, Phase::Running)) {
    // The input ended while we were starting: end the run now that everything is up.
    phase = Phase::Stopped;
    stopComponents();
  }
}

void Application::stop() {
  Phase current = phase.load();
  for (;;) {
    if (current == Phase::Running) {
      if (phase.compare_exchange_weak(current, Phase::Stopped)) break;
    } else if (current == Phase::Starting) {
      if (phase.compare_exchange_weak(current, Phase::StopRequested)) return;
    } else {
      return;
    }
  }
  if (std::this_thread::get_id() == mainThread) {
    stopComponents();
  } else {
    boost::asio::post(*ioService, [this] { stopComponents(); });
  }
}

void Application::stopComponents() {
  if (device) device->stop();
  if (decoder) decoder->stop();
  for (const auto* server : {&avrServer, &avrMlatServer, &avrMlatAirspyServer, &sbsServer, &beastServer, &msgServer}) {
    if (*server) (*server)->stop();
  }
  if (httpServer) httpServer->stop();
  // Aircraft look-ups still queued open their flights first, so that the flush ends them too;
  // then every open flight ends and is queued for the writer, and the table is emptied.
  if (airInfo) airInfo->waitIdle();
  if (statistics) statistics->aircraftTable().flush();
  // The worker serves everything queued, the last flights among them, before it ends.
  if (airInfo) airInfo->stop();
  if (baseStationDb && baseStationDb->isOpen()) {
    try {
      baseStationDb->closeSession();
    } catch (const BaseStationDbException&) {
      // Logged by the writer; the session keeps no end time, the database is closed anyway.
    }
    baseStationDb->close();
  }
  if (serialServer && !serialServer->isStopped()) serialServer->close();
  if (nmeaLogFile && nmeaLogFile->isOpen()) nmeaLogFile->close();
  signals->cancel();
}
