#pragma once
// The top-level object: owns every component, starts them in a fixed order and stops them once.

#include "app/config.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <atomic>
#include <memory>
#include <thread>

class AirInfo;
class BaseStationDb;
class FrameSink;
class HttpServer;
class MessageDecoder;
class MessageFilter;
class NetworkServer;
class NmeaLogFile;
class NmeaTargetTracker;
class PictureLookup;
class ReceiverPosition;
class ResponseCache;
class SdrDecoder;
class SdrDevice;
class SerialServer;
class Statistics;

class Application {
 public:
  Application();
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // One server for each feed port option given.
  void createOutputServers();
  // Takes ownership of the input and starts everything; called once, before the I/O service runs.
  void start(std::unique_ptr<SdrDevice> inputDevice);
  // The stop step. Safe from any thread, any number of times: only the first call does the work.
  // A call from another thread (the file reader at the end of its input) hands the work to the
  // I/O service, so the sockets and timers are only ever touched on the main thread.
  void stop();
  bool isRunning() const { return phase.load() == Phase::Running; }
  // What the process ends with after a normal stop: 1 when the input could not be read.
  void setExitStatus(int status) { exitCode = status; }
  int exitStatus() const { return exitCode.load(); }

  // Members in the order they are declared; the components find each other through them.
  std::unique_ptr<SdrDecoder> decoder;
  std::shared_ptr<boost::asio::io_context> ioService;
  std::unique_ptr<SdrDevice> device;
  std::unique_ptr<FrameSink> frameSink;
  std::unique_ptr<MessageFilter> messageFilter;
  std::unique_ptr<MessageDecoder> messageDecoder;
  std::unique_ptr<ReceiverPosition> receiverPosition;
  std::unique_ptr<Config> config;
  std::unique_ptr<HttpServer> httpServer;  // this and statistics only with the web interface
  std::unique_ptr<Statistics> statistics;
  std::unique_ptr<PictureLookup> pictureLookup;  // these three only with the web interface
  std::unique_ptr<BaseStationDb> baseStationDb;  // and the option "db"
  std::unique_ptr<AirInfo> airInfo;
  std::unique_ptr<ResponseCache> responseCache;  // the outside services' replies, web only
  std::shared_ptr<NetworkServer> avrServer;
  std::shared_ptr<NetworkServer> avrMlatServer;
  std::shared_ptr<NetworkServer> avrMlatAirspyServer;
  std::shared_ptr<NetworkServer> beastServer;
  std::shared_ptr<NetworkServer> sbsServer;
  std::shared_ptr<NetworkServer> msgServer;
  bool msgLocalTimeFlag = false;
  std::shared_ptr<SerialServer> serialServer;      // the GPS emulation, with the option "nmea"
  std::unique_ptr<NmeaTargetTracker> nmeaTarget;   // always there; follows address 0 until set
  std::unique_ptr<NmeaLogFile> nmeaLogFile;        // with "nmea" and "nmea-logfile"
  std::unique_ptr<boost::asio::signal_set> signals;

 private:
  // Besides running or not: an input that ends while the start step is still under way (before
  // running) must still end the run, once start has finished.
  enum class Phase { Built, Starting, Running, StopRequested, Stopped };

  void stopComponents();

  std::atomic<Phase> phase{Phase::Built};
  std::atomic<int> exitCode{0};
  std::thread::id mainThread;
};
