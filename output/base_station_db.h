#pragma once
// The reception log in a BaseStation SQLite database: one Sessions row per run, one Aircraft row
// per address ever heard, one Flights row per flight. The file and its tables must exist.
//
// One thread at a time: the start step, then the FlightRoute worker, then the stop step. Each
// statement is prepared at its first use and kept until close(); a busy database is retried.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "decode/flight_record.h"

struct Config;
struct sqlite3;
struct sqlite3_stmt;

class BaseStationDbException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Keys 0-18: the Aircraft columns ModeSCountry ... OperatorFlagCode; 19: seen count (flights + 1);
// 20: picture URL; 21: silhouette URL. Only non-empty texts are present.
using AircraftDbInfo = std::unordered_map<int, std::string>;

// Finds aircraft pictures in the directory of the option "pictures".
class PictureLookup {
 public:
  explicit PictureLookup(const Config& config);
  // "/img/aircrafts/NAME.jpg" when NAME.jpg is a regular file there, otherwise empty.
  std::string lookupAircraftPicture(const std::string& name) const;

 private:
  const Config& config;
};

class BaseStationDb {
 public:
  static constexpr int kBusyRetries = 5;
  static constexpr int kBusyWaitMs = 999;

  BaseStationDb(const Config& config, const PictureLookup* pictures);  // pictures may be null
  ~BaseStationDb();
  BaseStationDb(const BaseStationDb&) = delete;
  BaseStationDb& operator=(const BaseStationDb&) = delete;

  // Read-write, never creating the file. Opens no session: openSession() does.
  void open(const std::string& path);
  bool isOpen() const { return db != nullptr; }
  void openSession();
  void closeSession();
  bool isSessionOpen() const { return sessionOpen; }
  // Finalizes the statements and closes the connection; the handle is cleared either way.
  void close();

  // Finds or creates the Aircraft row of the address.
  AircraftDbInfo lookupAircraft(uint32_t address, int64_t& aircraftId);
  // The new FlightID; needs an open session.
  int64_t openFlight(int64_t aircraftId);
  // One transaction: all records or none.
  void closeFlights(const std::vector<FlightRecord>& records);

  int64_t sessionId() const { return session; }
  int64_t locationId() const { return location; }

  // Six upper-case hexadecimal digits, zero-filled.
  static std::string formatModeS(uint32_t address);

 private:
  enum Statement : int {
    kSelectLocation,
    kInsertHomeLocation,
    kInsertSession,
    kEndSession,
    kSelectAircraft,
    kCountFlights,
    kInsertAircraftWithCountry,
    kInsertAircraft,
    kInsertFlight,
    kUpdateFlight,
    kLastInsertRowId,
    kBegin,
    kCommit,
    kRollback,
    kStatementCount
  };
  class Use;

  void requireOpen() const;
  sqlite3_stmt* statement(Statement which);
  int stepWithRetry(sqlite3_stmt* statement);
  void exec(Statement which);
  int64_t lastInsertRowId();
  std::string errorText(const std::string& prefix);
  void rollbackIfInTransaction();
  void finalizeStatements();
  bool findAircraft(const std::string& modeS, uint32_t address, int64_t& aircraftId,
                    AircraftDbInfo& info);
  void readAircraftRow(sqlite3_stmt* row, uint32_t address, AircraftDbInfo& info);
  void addSeenCount(int64_t aircraftId, AircraftDbInfo& info);
  void writeFlight(const FlightRecord& record);

  sqlite3* db = nullptr;
  int64_t location = 0;
  int64_t session = 0;
  bool sessionOpen = false;
  const Config& config;
  const PictureLookup* pictures;
  sqlite3_stmt* statements[kStatementCount] = {};
};
