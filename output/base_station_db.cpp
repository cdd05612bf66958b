#include "output/base_station_db.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "app/config.h"
#include "app/host_clock.h"
#include "app/logger.h"
#include "decode/icao_country.h"

namespace {

const char* const kSql[] = {
    "SELECT LocationID FROM Locations ORDER BY LocationID DESC LIMIT 1;",
    "INSERT INTO Locations (LocationName,Latitude,Longitude,Altitude) VALUES ('Home',0.0,0.0,0.0);",
    "INSERT INTO Sessions (LocationID,StartTime) VALUES(?1,DATETIME(?2, 'unixepoch', 'localtime'));",
    "UPDATE Sessions SET EndTime=DATETIME(?2, 'unixepoch', 'localtime') WHERE SessionID=?1;",
    "SELECT AircraftID,ModeSCountry,Country,Registration,Manufacturer,ICAOTypeCode,Type,SerialNo,"
    "PopularName,GenericName,AircraftClass,Engines,OwnershipStatus,RegisteredOwners,MTOW,YearBuilt,"
    "UserNotes,UserTag,InfoUrl,OperatorFlagCode FROM Aircraft WHERE ModeS = ? LIMIT 1;",
    "SELECT COUNT(FlightID) FROM Flights WHERE AircraftID=?;",
    "INSERT OR IGNORE INTO Aircraft (ModeS, ModeSCountry, Country, FirstCreated, LastModified) "
    "VALUES (?1, ?2, ?3, datetime(?4, 'unixepoch'), datetime(?4, 'unixepoch'));",
    "INSERT OR IGNORE INTO Aircraft (ModeS, FirstCreated, LastModified) "
    "VALUES (?1, datetime(?2, 'unixepoch'), datetime(?2, 'unixepoch'));",
    "INSERT INTO Flights (SessionID,AircraftID,StartTime) VALUES(?1,?2,DATETIME(?3, 'unixepoch', 'localtime'));",
    "UPDATE Flights SET EndTime=DATETIME(DATETIME(?, 'unixepoch'),'localtime'),NumPosMsgRec=?,"
    "NumADSBMsgRec=?,NumModeSMsgRec=?,NumIDMsgRec=?,NumSurPosMsgRec=?,NumAirPosMsgRec=?,"
    "NumAirVelMsgRec=?,NumSurAltMsgRec=?,NumSurIDMsgRec=?,NumAirToAirMsgRec=?,NumAirCallRepMsgRec=?,"
    "FirstIsOnGround=?,LastIsOnGround=?,FirstLat=?,FirstLon=?,LastLat=?,LastLon=?,FirstGroundSpeed=?,"
    "LastGroundSpeed=?,FirstAltitude=?,LastAltitude=?,FirstVerticalRate=?,LastVerticalRate=?,"
    "FirstTrack=?,LastTrack=?,FirstSquawk=?,LastSquawk=?,HadAlert=?,HadEmergency=?,HadSpi=?,"
    "Callsign=? WHERE FlightID=?;",
    "SELECT last_insert_rowid();",
    "BEGIN;",
    "COMMIT;",
    "ROLLBACK;",
};

// Times come from the host clock, not SQLite's 'now': the board's SQLite reads a 32-bit time,
// which ends in 2038.
void bindNow(sqlite3_stmt* s, int index) { sqlite3_bind_int64(s, index, hostSeconds()); }

// Column text as stored, up to a NUL a blob may carry; NULL gives an empty text.
std::string columnText(sqlite3_stmt* row, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(row, column));
  if (text == nullptr) return std::string();
  const int bytes = sqlite3_column_bytes(row, column);
  return std::string(text, strnlen(text, bytes > 0 ? static_cast<size_t>(bytes) : 0));
}

// Names from the database become file names: nothing that leaves the directory or no file can have.
bool usableFileName(const std::string& name) {
  return !name.empty() && name.size() <= 200 && name.find('/') == std::string::npos &&
         name != "." && name != "..";
}

// statx, whose times are 64-bit everywhere: the library's stat fails on the board for a file
// dated after 2038.
bool isRegularFile(const std::string& path) {
  struct statx status {};
  return ::statx(AT_FDCWD, path.c_str(), 0, STATX_TYPE, &status) == 0 && S_ISREG(status.stx_mode);
}

template <typename T>
void bindDoubleOrNull(sqlite3_stmt* s, int index, const SeenValue<T>& v) {
  if (v.seen)
    sqlite3_bind_double(s, index, static_cast<double>(v.value));
  else
    sqlite3_bind_null(s, index);
}

void bindIntOrNull(sqlite3_stmt* s, int index, const SeenValue<int32_t>& v) {
  if (v.seen)
    sqlite3_bind_int(s, index, v.value);
  else
    sqlite3_bind_null(s, index);
}

void bindFlag(sqlite3_stmt* s, int index, const SeenValue<bool>& v) {
  sqlite3_bind_int(s, index, v.seen && v.value ? 1 : 0);
}

// Squawk 7700 is kept as the nibbles 0x7700 and written as the number 7700.
int squawkNumber(int32_t nibbles) {
  int n = 0;
  for (int shift = 12; shift >= 0; shift -= 4) n = n * 10 + ((nibbles >> shift) & 0xF);
  return n;
}

}  // namespace

// Resets the statement and drops its bindings when the use ends, so that it is ready for reuse
// whether the step succeeded or threw.
class BaseStationDb::Use {
 public:
  Use(BaseStationDb& owner, Statement which) : stmt(owner.statement(which)) {}
  ~Use() {
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  sqlite3_stmt* get() const { return stmt; }

 private:
  sqlite3_stmt* stmt;
};

PictureLookup::PictureLookup(const Config& config) : config(config) {}

std::string PictureLookup::lookupAircraftPicture(const std::string& name) const {
  if (config.picturesDir.empty() || !usableFileName(name)) return std::string();
  if (!isRegularFile(config.picturesDir + "/" + name + ".jpg")) return std::string();
  return "/img/aircrafts/" + name + ".jpg";
}

BaseStationDb::BaseStationDb(const Config& config, const PictureLookup* pictures)
    : config(config), pictures(pictures) {}

BaseStationDb::~BaseStationDb() {
  if (db != nullptr) close();
}

std::string BaseStationDb::formatModeS(uint32_t address) {
  char text[8];
  std::snprintf(text, sizeof text, "%06X", address & 0xFFFFFFu);
  return text;
}

void BaseStationDb::requireOpen() const {
  if (db == nullptr) throw BaseStationDbException("Database not open");
}

std::string BaseStationDb::errorText(const std::string& prefix) {
  const std::string text =
      prefix + " " + sqlite3_errmsg(db) + " " + std::to_string(sqlite3_errcode(db));
  logError(text);
  return text;
}

sqlite3_stmt* BaseStationDb::statement(Statement which) {
  requireOpen();
  sqlite3_stmt*& s = statements[which];
  if (s != nullptr) return s;
  // Preparing reads the schema, which another program's lock holds back as it does a step: the
  // same waits as for a step.
  int rc = sqlite3_prepare_v2(db, kSql[which], -1, &s, nullptr);
  for (int retry = 0; (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) && retry < kBusyRetries; ++retry) {
    sqlite3_finalize(s);
    s = nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(kBusyWaitMs));
    rc = sqlite3_prepare_v2(db, kSql[which], -1, &s, nullptr);
  }
  if (rc != SQLITE_OK) {
    const std::string text = std::string("sqlite3_prepare_v2() ") + kSql[which] + " " + sqlite3_errmsg(db);
    logError(text);
    sqlite3_finalize(s);
    s = nullptr;
    throw BaseStationDbException(text);
  }
  return s;
}

int BaseStationDb::stepWithRetry(sqlite3_stmt* s) {
  int rc = sqlite3_step(s);
  for (int retry = 0; (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) && retry < kBusyRetries; ++retry) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kBusyWaitMs));
    sqlite3_reset(s);  // keeps the bindings
    rc = sqlite3_step(s);
  }
  if (rc == SQLITE_ROW || rc == SQLITE_DONE) return rc;
  const std::string text = errorText("sqlite3_step()");
  sqlite3_reset(s);
  throw BaseStationDbException(text);
}

void BaseStationDb::exec(Statement which) {
  Use use(*this, which);
  stepWithRetry(use.get());
}

int64_t BaseStationDb::lastInsertRowId() {
  Use use(*this, kLastInsertRowId);
  if (stepWithRetry(use.get()) != SQLITE_ROW) {
    const std::string text = "addTrackInternal() Can't get last_insert_rowid()";
    logError(text);
    throw BaseStationDbException(text);
  }
  return sqlite3_column_int64(use.get(), 0);
}

void BaseStationDb::open(const std::string& path) {
  if (db != nullptr) close();
  sqlite3* handle = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &handle, SQLITE_OPEN_READWRITE, nullptr);
  db = handle;
  if (rc != SQLITE_OK) {
    const std::string text = errorText("sqlite3_open " + path);
    if (sqlite3_close(db) != SQLITE_OK) errorText("sqlite3_close()");
    db = nullptr;
    throw BaseStationDbException(text);
  }
}

void BaseStationDb::finalizeStatements() {
  for (sqlite3_stmt*& s : statements) {
    if (s != nullptr && sqlite3_finalize(s) != SQLITE_OK) errorText("sqlite3_finalize()");
    s = nullptr;
  }
}

void BaseStationDb::close() {
  finalizeStatements();
  if (db != nullptr && sqlite3_close(db) != SQLITE_OK)
    logError(std::string("sqlite3_close ") + sqlite3_errmsg(db));
  db = nullptr;
  sessionOpen = false;
}

void BaseStationDb::openSession() {
  requireOpen();
  if (sessionOpen) closeSession();
  bool found = false;
  {
    Use select(*this, kSelectLocation);
    if (stepWithRetry(select.get()) == SQLITE_ROW) {
      location = sqlite3_column_int64(select.get(), 0);
      found = true;
    }
  }
  if (!found) {
    exec(kInsertHomeLocation);
    location = lastInsertRowId();
  }
  logDebug("openSession locationId " + std::to_string(location));
  logInfo("Open DB session");
  {
    Use insert(*this, kInsertSession);
    sqlite3_bind_int64(insert.get(), 1, location);
    bindNow(insert.get(), 2);
    stepWithRetry(insert.get());
  }
  session = lastInsertRowId();
  sessionOpen = true;
}

void BaseStationDb::closeSession() {
  requireOpen();
  if (!sessionOpen) return;  // an end time for session 0 would touch no row anyway
  logInfo("Close DB session");
  Use update(*this, kEndSession);
  sqlite3_bind_int64(update.get(), 1, session);
  bindNow(update.get(), 2);
  stepWithRetry(update.get());
  sessionOpen = false;
}

void BaseStationDb::readAircraftRow(sqlite3_stmt* row, uint32_t address, AircraftDbInfo& info) {
  for (int column = 1; column <= 19; ++column) {
    std::string text = columnText(row, column);
    if (!text.empty()) info[column - 1] = std::move(text);
  }
  if (pictures == nullptr) return;
  if (!config.picturesDir.empty()) {
    auto registration = info.find(2);
    std::string picture =
        pictures->lookupAircraftPicture(registration != info.end() ? registration->second : "");
    if (picture.empty() && address != 0) picture = pictures->lookupAircraftPicture(formatModeS(address));
    if (!picture.empty()) info[20] = std::move(picture);
  }
  auto type = info.find(4);
  if (type != info.end() && !config.silhouettesDir.empty() && usableFileName(type->second) &&
      isRegularFile(config.silhouettesDir + "/" + type->second + ".bmp")) {
    info[21] = "/img/silhouettes/" + type->second + ".bmp";
  }
}

void BaseStationDb::addSeenCount(int64_t aircraftId, AircraftDbInfo& info) {
  try {
    Use count(*this, kCountFlights);
    sqlite3_bind_int64(count.get(), 1, aircraftId);
    if (stepWithRetry(count.get()) != SQLITE_ROW) throw BaseStationDbException("Error get seen number");
    info[19] = std::to_string(sqlite3_column_int(count.get(), 0) + 1);
  } catch (const BaseStationDbException&) {
    // The look-up stands without its seen count.
  }
}

bool BaseStationDb::findAircraft(const std::string& modeS, uint32_t address, int64_t& aircraftId,
                                 AircraftDbInfo& info) {
  Use select(*this, kSelectAircraft);
  sqlite3_bind_text(select.get(), 1, modeS.c_str(), -1, SQLITE_TRANSIENT);
  if (stepWithRetry(select.get()) != SQLITE_ROW) return false;
  aircraftId = sqlite3_column_int64(select.get(), 0);
  readAircraftRow(select.get(), address, info);
  return true;
}

AircraftDbInfo BaseStationDb::lookupAircraft(uint32_t address, int64_t& aircraftId) {
  requireOpen();
  const std::string modeS = formatModeS(address);
  AircraftDbInfo info;
  if (findAircraft(modeS, address, aircraftId, info)) {
    addSeenCount(aircraftId, info);
    return info;
  }

  const std::string country = icaoCountryName(address);
  {
    Use insert(*this, country.empty() ? kInsertAircraft : kInsertAircraftWithCountry);
    sqlite3_bind_text(insert.get(), 1, modeS.c_str(), -1, SQLITE_TRANSIENT);
    if (!country.empty()) {
      sqlite3_bind_text(insert.get(), 2, country.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert.get(), 3, country.c_str(), -1, SQLITE_TRANSIENT);
    }
    bindNow(insert.get(), country.empty() ? 2 : 4);
    stepWithRetry(insert.get());
  }
  if (sqlite3_changes(db) == 0) {
    // Ignored: another writer added the address since the select (last_insert_rowid would name
    // some other row), or the schema refused the row.
    if (findAircraft(modeS, address, aircraftId, info)) {
      addSeenCount(aircraftId, info);
      return info;
    }
    const std::string text = "INSERT OR IGNORE INTO Aircraft wrote no row for " + modeS;
    logError(text);
    throw BaseStationDbException(text);
  }
  aircraftId = lastInsertRowId();
  if (!country.empty()) {
    info[0] = country;
    info[1] = country;
    info[19] = "1";
  }
  return info;
}

int64_t BaseStationDb::openFlight(int64_t aircraftId) {
  requireOpen();
  if (!sessionOpen) throw BaseStationDbException("Session not open");
  logDebug("openFlight aircraftId " + std::to_string(aircraftId));
  {
    Use insert(*this, kInsertFlight);
    sqlite3_bind_int64(insert.get(), 1, session);
    sqlite3_bind_int64(insert.get(), 2, aircraftId);
    bindNow(insert.get(), 3);
    stepWithRetry(insert.get());
  }
  return lastInsertRowId();
}

void BaseStationDb::writeFlight(const FlightRecord& r) {
  Use update(*this, kUpdateFlight);
  sqlite3_stmt* s = update.get();
  sqlite3_bind_int64(s, 1, r.endTime);
  for (int i = 0; i < kFlightCounterCount; ++i) sqlite3_bind_int64(s, 2 + i, r.counters[i]);
  bindFlag(s, 13, r.firstOnGround);
  bindFlag(s, 14, r.lastOnGround);
  bindDoubleOrNull(s, 15, r.firstLatitude);
  bindDoubleOrNull(s, 16, r.firstLongitude);
  bindDoubleOrNull(s, 17, r.lastLatitude);
  bindDoubleOrNull(s, 18, r.lastLongitude);
  bindDoubleOrNull(s, 19, r.firstGroundSpeed);
  bindDoubleOrNull(s, 20, r.lastGroundSpeed);
  bindIntOrNull(s, 21, r.firstAltitude);
  bindIntOrNull(s, 22, r.lastAltitude);
  bindIntOrNull(s, 23, r.firstVerticalRate);
  bindIntOrNull(s, 24, r.lastVerticalRate);
  bindDoubleOrNull(s, 25, r.firstTrack);
  bindDoubleOrNull(s, 26, r.lastTrack);
  for (int i = 0; i < 2; ++i) {
    const SeenValue<int32_t>& squawk = i == 0 ? r.firstSquawk : r.lastSquawk;
    if (squawk.seen)
      sqlite3_bind_int(s, 27 + i, squawkNumber(squawk.value));
    else
      sqlite3_bind_null(s, 27 + i);
  }
  bindFlag(s, 29, r.hadAlert);
  bindFlag(s, 30, r.hadEmergency);
  bindFlag(s, 31, r.hadSpi);
  if (r.callsign.seen)
    sqlite3_bind_text(s, 32, r.callsign.value.c_str(), -1, SQLITE_TRANSIENT);
  else
    sqlite3_bind_null(s, 32);
  sqlite3_bind_int64(s, 33, r.flightId);
  stepWithRetry(s);
}

void BaseStationDb::rollbackIfInTransaction() {
  if (db == nullptr || sqlite3_get_autocommit(db)) return;
  try {
    exec(kRollback);
  } catch (const BaseStationDbException&) {
    // Logged; the next batch tries again before its BEGIN.
  }
}

void BaseStationDb::closeFlights(const std::vector<FlightRecord>& records) {
  requireOpen();
  // A transaction an earlier failure could not roll back would make BEGIN fail for good.
  rollbackIfInTransaction();
  exec(kBegin);
  try {
    for (const FlightRecord& record : records) {
      logDebug("closeFlight flightId " + std::to_string(record.flightId));
      writeFlight(record);
    }
  } catch (const BaseStationDbException&) {
    logError("Error save - rollback");
    rollbackIfInTransaction();
    throw;
  }
  try {
    exec(kCommit);
  } catch (const BaseStationDbException&) {
    logError("Error commit - rollback");
    rollbackIfInTransaction();
    throw;
  }
}
