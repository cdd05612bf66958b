#!/bin/sh
# Creates the empty databases the program logs into and looks routes up in. The program opens
# existing files only and never creates tables, so every installation (and every test) starts here.
set -eu

usage() {
  cat <<'TEXT'
Usage: make-databases.sh BASESTATION_DB [FLIGHTROUTE_DB]

Creates BASESTATION_DB, an empty BaseStation database for the option "db"
(tables Locations, Sessions, Aircraft and Flights), and, when given,
FLIGHTROUTE_DB, an empty FlightRoute database for the option "frdb"
(table FlightRoute with the columns flight, route and updatetime).

Existing files are left alone: the script stops with an error instead.
Needs the sqlite3 command.

  -h, --help   show this text
TEXT
}

case "${1:-}" in
  -h|--help) usage; exit 0 ;;
  "") usage >&2; exit 2 ;;
esac
if [ $# -gt 2 ]; then usage >&2; exit 2; fi

if ! command -v sqlite3 >/dev/null 2>&1; then
  echo "make-databases.sh: the sqlite3 command is not installed" >&2
  exit 1
fi

for file in "$@"; do
  if [ -e "$file" ]; then
    echo "make-databases.sh: $file exists already; not touching it" >&2
    exit 1
  fi
done

sqlite3 -bail "$1" <<'SQL'
PRAGMA foreign_keys = ON;
BEGIN;
CREATE TABLE Locations (
  LocationID INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,
  LocationName VARCHAR(20) NOT NULL,
  Latitude REAL NOT NULL,
  Longitude REAL NOT NULL,
  Altitude REAL NOT NULL
);
CREATE TABLE Sessions (
  SessionID INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,
  LocationID INTEGER NOT NULL REFERENCES Locations (LocationID),
  StartTime DATETIME NOT NULL,
  EndTime DATETIME
);
CREATE INDEX SessionsLocation ON Sessions (LocationID);
CREATE INDEX SessionsStartTime ON Sessions (StartTime);
CREATE TABLE Aircraft (
  AircraftID INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,
  FirstCreated DATETIME NOT NULL,
  LastModified DATETIME NOT NULL,
  ModeS VARCHAR(6) NOT NULL UNIQUE,
  ModeSCountry VARCHAR(24),
  Country VARCHAR(24),
  Registration VARCHAR(20),
  Manufacturer VARCHAR(60),
  ICAOTypeCode VARCHAR(10),
  Type VARCHAR(40),
  SerialNo VARCHAR(30),
  PopularName VARCHAR(20),
  GenericName VARCHAR(20),
  AircraftClass VARCHAR(20),
  Engines VARCHAR(40),
  OwnershipStatus VARCHAR(10),
  RegisteredOwners VARCHAR(100),
  MTOW VARCHAR(20),
  YearBuilt VARCHAR(4),
  UserNotes VARCHAR(300),
  UserTag VARCHAR(5),
  InfoUrl VARCHAR(150),
  OperatorFlagCode VARCHAR(20)
);
CREATE INDEX AircraftRegistration ON Aircraft (Registration);
CREATE TABLE Flights (
  FlightID INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,
  SessionID INTEGER NOT NULL REFERENCES Sessions (SessionID),
  AircraftID INTEGER NOT NULL REFERENCES Aircraft (AircraftID),
  StartTime DATETIME NOT NULL,
  EndTime DATETIME,
  Callsign VARCHAR(20),
  NumPosMsgRec INTEGER,
  NumADSBMsgRec INTEGER,
  NumModeSMsgRec INTEGER,
  NumIDMsgRec INTEGER,
  NumSurPosMsgRec INTEGER,
  NumAirPosMsgRec INTEGER,
  NumAirVelMsgRec INTEGER,
  NumSurAltMsgRec INTEGER,
  NumSurIDMsgRec INTEGER,
  NumAirToAirMsgRec INTEGER,
  NumAirCallRepMsgRec INTEGER,
  FirstIsOnGround BOOLEAN NOT NULL DEFAULT 0,
  LastIsOnGround BOOLEAN NOT NULL DEFAULT 0,
  FirstLat REAL,
  LastLat REAL,
  FirstLon REAL,
  LastLon REAL,
  FirstGroundSpeed REAL,
  LastGroundSpeed REAL,
  FirstAltitude INTEGER,
  LastAltitude INTEGER,
  FirstVerticalRate INTEGER,
  LastVerticalRate INTEGER,
  FirstTrack REAL,
  LastTrack REAL,
  FirstSquawk INTEGER,
  LastSquawk INTEGER,
  HadAlert BOOLEAN NOT NULL DEFAULT 0,
  HadEmergency BOOLEAN NOT NULL DEFAULT 0,
  HadSpi BOOLEAN NOT NULL DEFAULT 0
);
CREATE INDEX FlightsSession ON Flights (SessionID);
CREATE INDEX FlightsAircraft ON Flights (AircraftID);
CREATE INDEX FlightsCallsign ON Flights (Callsign);
COMMIT;
SQL

if [ $# -eq 2 ]; then
  sqlite3 -bail "$2" <<'SQL'
BEGIN;
-- Several rows per flight are allowed: the newest updatetime wins.
CREATE TABLE FlightRoute (
  flight TEXT NOT NULL,
  route TEXT,
  updatetime INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX FlightRouteFlight ON FlightRoute (flight, updatetime);
COMMIT;
SQL
fi
