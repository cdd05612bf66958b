#pragma once
// The GPS emulation: one aircraft's position, ground speed, track and altitude as the NMEA 0183
// sentences of a GPS receiver (RMC, VTG, GGA, GLL), sent on the serial line and, optionally,
// written to a text log.
//
// Threads: the tracker, the sentence writer and the log lines run on the frame thread; the log
// file is opened and closed by the start and stop steps, while no frame is delivered.

#include <boost/date_time/posix_time/ptime.hpp>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

class Application;
struct Message;

// Remembers the newest position, speed, track and altitude of the followed aircraft.
class NmeaTargetTracker {
 public:
  void setIcao(uint32_t address) { icao = address & 0xFFFFFF; }
  uint32_t followedIcao() const { return icao; }

  // True, with the newest stored values, once all four kinds have been heard from the followed
  // aircraft; every later message of it then gives a set. The outputs are untouched otherwise.
  bool update(const Message& message, double& latitude, double& longitude, double& speed, double& track,
              double& altitude);

 private:
  double latitude = 0;
  double longitude = 0;
  double speed = 0;     // knots
  double track = 0;     // degrees
  double altitude = 0;  // feet
  bool positionKnown = false;
  bool speedKnown = false;
  bool trackKnown = false;
  bool altitudeKnown = false;
  uint32_t icao = 0;
};

// Degrees and minutes of a non-negative angle: `width` digits of degrees (2 for latitude, 3 for
// longitude), two of minutes and four decimals of minutes, truncated: 51.5 -> "5130.0000".
std::string formatNmeaCoordinate(int width, double value);

// The four sentences at the UTC time `utc`, without their line ends.
std::vector<std::string> buildNmeaSentences(const boost::posix_time::ptime& utc, double latitude, double longitude,
                                            double speed, double track, double altitude);

// Builds the sentences at the host's UTC time and hands each to the log, the log file and the
// output byte count, and the four together, as one set, to the serial line.
void writeNmeaSentences(Application& app, double latitude, double longitude, double speed, double track,
                        double altitude);
// The same at a given time.
void writeNmeaSentences(Application& app, const boost::posix_time::ptime& utc, double latitude, double longitude,
                        double speed, double track, double altitude);

// The text log of the sentences, one a line, truncated at every start.
class NmeaLogFile {
 public:
  explicit NmeaLogFile(std::string path) : fileName(std::move(path)) {}
  NmeaLogFile(const NmeaLogFile&) = delete;
  NmeaLogFile& operator=(const NmeaLogFile&) = delete;

  // A file that cannot be opened is logged ("Can't open file NAME") and the run goes on without it.
  void open();
  void close();
  bool isOpen() const { return openFlag; }
  const std::string& name() const { return fileName; }

 private:
  friend void writeNmeaLogLine(NmeaLogFile& file, const std::string& sentence);

  std::string fileName;
  std::ofstream stream;
  bool openFlag = false;
};

// The sentence and a newline, flushed at once, so the file is whole if the process dies.
void writeNmeaLogLine(NmeaLogFile& file, const std::string& sentence);
