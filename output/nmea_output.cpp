#include "output/nmea_output.h"

#include "app/application.h"
#include "app/host_clock.h"
#include "app/logger.h"
#include "decode/message.h"
#include "decode/statistics.h"
#include "output/serial_server.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <cmath>
#include <cstdio>
#include <iomanip>
#include <sstream>

bool NmeaTargetTracker::update(const Message& message, double& latitudeOut, double& longitudeOut, double& speedOut,
                               double& trackOut, double& altitudeOut) {
  if (message.icao != icao) return false;
  if (message.has(MessageField::LAT) && message.has(MessageField::LON)) {
    latitude = message.lat;
    longitude = message.lon;
    positionKnown = true;
  }
  if (message.has(MessageField::GS)) {
    speed = message.gs;
    speedKnown = true;
  }
  if (message.has(MessageField::TT)) {
    track = message.tt;
    trackKnown = true;
  }
  if (message.has(MessageField::ALTITUDE)) {
    altitude = static_cast<double>(message.altitude);
    altitudeKnown = true;
  }
  if (!(positionKnown && speedKnown && trackKnown && altitudeKnown)) return false;
  latitudeOut = latitude;
  longitudeOut = longitude;
  speedOut = speed;
  trackOut = track;
  altitudeOut = altitude;
  return true;
}

std::string formatNmeaCoordinate(int width, double value) {
  const double wholeDegrees = std::floor(value);
  const double minutes = (value - wholeDegrees) * 60.0;
  const double wholeMinutes = std::floor(minutes);
  const auto degrees = static_cast<long long>(wholeDegrees);
  const auto minute = static_cast<long long>(wholeMinutes);
  const auto fraction = static_cast<long long>((minutes - wholeMinutes) * 10000.0);
  char text[48];
  std::snprintf(text, sizeof text, "%0*lld%02lld.%04lld", width, degrees, minute, fraction);
  return text;
}

namespace {

// Closes the sentence begun in `stream` (from "$" up to and including "*") with its checksum:
// the XOR of everything between "$" and "*". The stream keeps the hexadecimal and upper-case
// settings for the sentences after it.
std::string finishSentence(std::ostringstream& stream) {
  const std::string body = stream.str();
  unsigned checksum = 0;
  for (size_t i = 1; i + 1 < body.size(); ++i) checksum ^= static_cast<unsigned char>(body[i]);
  stream << std::hex << std::uppercase << std::setw(2) << std::setfill('0') << checksum;
  std::string sentence = stream.str();
  stream.str("");
  return sentence;
}

std::string twoDigits(long value) {
  char text[24];
  std::snprintf(text, sizeof text, "%02ld", value);
  return text;
}

}  // namespace

std::vector<std::string> buildNmeaSentences(const boost::posix_time::ptime& utc, double latitude, double longitude,
                                            double speed, double track, double altitude) {
  const auto day = utc.time_of_day();
  const long milliseconds = static_cast<long>(day.total_milliseconds() % 1000);
  char millisecondText[8];
  std::snprintf(millisecondText, sizeof millisecondText, "%03ld", milliseconds);
  const std::string time = twoDigits(day.hours()) + twoDigits(day.minutes()) + twoDigits(day.seconds()) + "." +
                           millisecondText;
  // Date and time come from one reading, so that a set written at midnight never pairs the new
  // day with the old day's time.
  const auto date = utc.date();
  const std::string dateText = twoDigits(date.day()) + twoDigits(date.month()) + twoDigits(date.year() % 100);

  const char* northSouth = latitude < 0 ? "S" : "N";
  const char* eastWest = longitude < 0 ? "W" : "E";
  const std::string lat = formatNmeaCoordinate(2, std::fabs(latitude));
  const std::string lon = formatNmeaCoordinate(3, std::fabs(longitude));
  const std::string position = lat + "," + northSouth + "," + lon + "," + eastWest;

  // One stream for all four, so settings made for one sentence's checksum hold for the next.
  std::ostringstream stream;
  std::vector<std::string> sentences;
  sentences.reserve(4);
  stream << "$GPRMC," << time << ",A," << position << "," << speed << "," << track << "," << dateText << ",,,A*";
  sentences.push_back(finishSentence(stream));
  stream << "$GPVTG," << track << ",T,,M," << speed << ",N," << speed * 1.852 << ",K,A*";
  sentences.push_back(finishSentence(stream));
  stream << "$GPGGA," << time << "," << position << ",1,04,1," << std::fixed << std::setprecision(2)
         << altitude * 0.3048 << ",M,0,M,,*";
  sentences.push_back(finishSentence(stream));
  stream << "$GPGLL," << position << "," << time << ",A,A*";
  sentences.push_back(finishSentence(stream));
  return sentences;
}

void writeNmeaSentences(Application& app, double latitude, double longitude, double speed, double track,
                        double altitude) {
  // From the host's 64-bit clock: the library's own clock reads a 32-bit time on the board.
  static const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));
  writeNmeaSentences(app, epoch + boost::posix_time::microseconds(hostMicros()), latitude, longitude, speed, track,
                     altitude);
}

void writeNmeaSentences(Application& app, const boost::posix_time::ptime& utc, double latitude, double longitude,
                        double speed, double track, double altitude) {
  // The line gets the four as one write: it keeps or drops a set whole, never a part of it.
  std::string set;
  for (const std::string& sentence : buildNmeaSentences(utc, latitude, longitude, speed, track, altitude)) {
    logDebug(sentence);
    if (app.nmeaLogFile && app.nmeaLogFile->isOpen()) writeNmeaLogLine(*app.nmeaLogFile, sentence);
    const std::string line = sentence + "\r\n";
    set += line;
    if (app.statistics) app.statistics->addCounter(OUTPUT_BYTES, line.size());
  }
  if (app.serialServer) app.serialServer->write(set);
}

void NmeaLogFile::open() {
  openFlag = false;
  if (fileName.empty()) return;
  stream.open(fileName, std::ios::out | std::ios::trunc);
  if (!stream.is_open()) {
    logError("Can't open file " + fileName);
    return;
  }
  openFlag = true;
}

void NmeaLogFile::close() {
  if (openFlag) stream.close();
  openFlag = false;
}

void writeNmeaLogLine(NmeaLogFile& file, const std::string& sentence) {
  if (!file.openFlag) return;
  file.stream << sentence << '\n';
  file.stream.flush();
}
