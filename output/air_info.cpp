#include "output/air_info.h"

#include <sqlite3.h>

#include <cstring>
#include <exception>
#include <string>

#include "app/config.h"
#include "app/host_clock.h"
#include "app/logger.h"
#include "decode/aircraft_table.h"
#include "decode/tracked_value.h"
#include "output/base_station_db.h"

namespace {

const char* const kRouteSql = "SELECT route FROM FlightRoute WHERE flight = ? ORDER BY updatetime DESC LIMIT 1;";

}  // namespace

AirInfo::AirInfo(const Config& config, BaseStationDb* db) : config(config), db(db) {}

AirInfo::~AirInfo() {
  if (worker.joinable()) stop();
  close();
}

void AirInfo::setAircraftTable(AircraftTable* t) { table = t; }

void AirInfo::push(std::shared_ptr<AirInfoCommand> command) {
  {
    std::lock_guard<std::mutex> lock(queueMutex);
    queue.push_back(std::move(command));
  }
  wake.notify_one();
}

size_t AirInfo::queued() const {
  std::lock_guard<std::mutex> lock(queueMutex);
  return queue.size();
}

void AirInfo::start() {
  if (worker.joinable()) return;
  stopFlag = false;
  worker = std::thread([this] { run(); });
}

void AirInfo::stop() {
  stopFlag = true;
  {
    // Taken once so that a worker between its check and its wait cannot miss the wake-up.
    std::lock_guard<std::mutex> lock(queueMutex);
  }
  wake.notify_all();
  if (worker.joinable() && worker.get_id() != std::this_thread::get_id()) worker.join();
}

void AirInfo::waitIdle() {
  std::unique_lock<std::mutex> lock(queueMutex);
  if (!worker.joinable() || stopFlag) return;
  idle.wait(lock, [this] { return queue.empty() && !serving; });
}

void AirInfo::close() {
  logDebug("AirInfo::close()");
  if (routeStatement != nullptr && sqlite3_finalize(routeStatement) != SQLITE_OK)
    logError(std::string("sqlite3_finalize() ") + sqlite3_errmsg(routeDb));
  routeStatement = nullptr;
  if (routeDb != nullptr && sqlite3_close(routeDb) != SQLITE_OK)
    logError(std::string("sqlite3_close ") + sqlite3_errmsg(routeDb));
  routeDb = nullptr;
}

void AirInfo::openRouteDb() {
  const std::string& path = config.flightRouteDbPath;
  if (path.empty() || routeDb != nullptr) return;
  logDebug("sqlite3_open " + path);
  if (sqlite3_open_v2(path.c_str(), &routeDb, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    logError("FlightRoutesDb " + path + " " + sqlite3_errmsg(routeDb));
    sqlite3_close(routeDb);
    routeDb = nullptr;
  }
}

void AirInfo::run() {
  openRouteDb();
  for (;;) {
    std::shared_ptr<AirInfoCommand> command;
    {
      std::unique_lock<std::mutex> lock(queueMutex);
      wake.wait(lock, [this] { return stopFlag || !queue.empty(); });
      if (queue.empty()) break;  // stopped, and everything queued before has been served
      command = std::move(queue.front());
      queue.pop_front();
      serving = true;
    }
    try {
      serve(*command);
    } catch (const BaseStationDbException&) {
      // Logged where it failed; the request is dropped.
    } catch (const std::exception& e) {
      logError(std::string("AirInfo request dropped: ") + e.what());
    }
    {
      std::lock_guard<std::mutex> lock(queueMutex);
      serving = false;
    }
    idle.notify_all();
  }
  close();
}

void AirInfo::serve(const AirInfoCommand& command) {
  switch (command.kind()) {
    case AirInfoCommand::Kind::CloseFlights:
      if (db != nullptr) db->closeFlights(command.flights);
      break;
    case AirInfoCommand::Kind::AircraftLookup:
      if (db != nullptr) lookupAircraft(command.address);
      break;
    case AirInfoCommand::Kind::RouteLookup:
      if (routeDb != nullptr) lookupRoute(command);
      break;
  }
}

void AirInfo::writeText(TrackedValue<std::string>& value, const std::string& text, uint32_t serial) {
  value.set(text, serial, 0);
}

void AirInfo::lookupAircraft(uint32_t address) {
  int64_t aircraftId = 0;
  const AircraftDbInfo info = db->lookupAircraft(address, aircraftId);
  if (!info.empty() && table != nullptr) {
    std::lock_guard<std::mutex> lock(table->mutex());
    table->sweep(hostSeconds());
    if (Aircraft* aircraft = table->find(address)) {
      const uint32_t serial = table->advanceSerial();
      if (!aircraft->flightEnded.value) {
        for (const auto& entry : info) writeText(aircraft->databaseInfo[entry.first], entry.second, serial);
      }
    }
  }
  const int64_t flightId = db->openFlight(aircraftId);
  bool adopted = false;
  if (table != nullptr) {
    std::lock_guard<std::mutex> lock(table->mutex());
    Aircraft* aircraft = table->find(address);
    // A look-up served late may find the flight it was asked for already ended, or a later
    // look-up's flight open: the row would then be closed from an emptied record, or never.
    if (aircraft != nullptr && !aircraft->flightEnded.value && !aircraft->flight.flightOpen) {
      aircraft->flight.flightId = flightId;
      aircraft->flight.flightOpen = true;
      adopted = true;
    }
  }
  if (!adopted) {
    FlightRecord unused;
    unused.flightId = flightId;
    unused.endTime = hostSeconds();
    db->closeFlights({unused});
  }
}

void AirInfo::lookupRoute(const AirInfoCommand& command) {
  if (routeStatement == nullptr &&
      sqlite3_prepare_v2(routeDb, kRouteSql, -1, &routeStatement, nullptr) != SQLITE_OK) {
    logError(std::string("sqlite3_prepare_v2() ") + kRouteSql + " " + sqlite3_errmsg(routeDb));
    sqlite3_finalize(routeStatement);
    routeStatement = nullptr;
    return;
  }
  sqlite3_bind_text(routeStatement, 1, command.flight.c_str(), -1, SQLITE_TRANSIENT);
  const int rc = sqlite3_step(routeStatement);
  std::string route;
  bool found = false;
  if (rc == SQLITE_ROW) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(routeStatement, 0));
    if (text != nullptr) {
      const int bytes = sqlite3_column_bytes(routeStatement, 0);
      route.assign(text, strnlen(text, bytes > 0 ? static_cast<size_t>(bytes) : 0));
      found = true;
    }
  } else if (rc != SQLITE_DONE) {
    logError(std::string("sqlite3_step() ") + sqlite3_errmsg(routeDb) + " " +
             std::to_string(sqlite3_errcode(routeDb)));
  }
  sqlite3_reset(routeStatement);
  sqlite3_clear_bindings(routeStatement);
  if (!found || table == nullptr) return;

  std::lock_guard<std::mutex> lock(table->mutex());
  table->sweep(hostSeconds());
  if (Aircraft* aircraft = table->find(command.address)) {
    const uint32_t serial = table->advanceSerial();
    if (!aircraft->flightEnded.value) writeText(aircraft->route, route, serial);
  }
}
