#pragma once
// The FlightRoute worker: one thread that takes every database request off the frame thread,
// serves the requests in queue order and writes the results back into the aircraft records.
//
// Lock order: the aircraft table pushes under its own mutex, so the queue mutex comes after it;
// the worker never holds both and never holds the table's during a database call.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "decode/air_info_queue.h"
#include "decode/tracked_value.h"

struct Config;
struct sqlite3;
struct sqlite3_stmt;
class AircraftTable;
class BaseStationDb;

class AirInfo : public AirInfoQueue {
 public:
  AirInfo(const Config& config, BaseStationDb* db);  // db null without "db"
  ~AirInfo() override;                               // stop() if running, then close()
  AirInfo(const AirInfo&) = delete;
  AirInfo& operator=(const AirInfo&) = delete;

  // Before start; null: results are dropped.
  void setAircraftTable(AircraftTable* table);

  // Takes only the queue mutex: the frame thread never waits on a database.
  void push(std::shared_ptr<AirInfoCommand> command) override;

  // Clears the stop flag and starts the thread, which opens "frdb" read-only first.
  void start();
  // Everything queued so far is served, then the thread closes the FlightRoute database and ends.
  void stop();
  // Returns once everything queued so far has been served (at once when the thread is not
  // running). The stop step waits here before it ends the open flights: an aircraft look-up
  // still queued would otherwise open a flight that nothing ever closes.
  void waitIdle();
  // Closes the FlightRoute database; logged at DEBUG.
  void close();

  bool isRunning() const { return worker.joinable(); }
  size_t queued() const;

 private:
  void run();
  void openRouteDb();
  void serve(const AirInfoCommand& command);
  void lookupAircraft(uint32_t address);
  void lookupRoute(const AirInfoCommand& command);
  // The write rule of a text value that came from a database.
  static void writeText(TrackedValue<std::string>& value, const std::string& text,
                        uint32_t serial);

  sqlite3* routeDb = nullptr;
  sqlite3_stmt* routeStatement = nullptr;  // prepared at the first look-up
  std::deque<std::shared_ptr<AirInfoCommand>> queue;
  mutable std::mutex queueMutex;
  std::condition_variable wake;
  std::condition_variable idle;
  bool serving = false;  // a command is out of the queue and not yet served
  std::thread worker;
  std::atomic<bool> stopFlag{false};
  const Config& config;
  BaseStationDb* db;
  AircraftTable* table = nullptr;
};
