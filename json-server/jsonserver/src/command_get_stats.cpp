#include "json-server/jsonserver/src/command_get_stats.h"

#include "app/application.h"
#include "app/host_clock.h"
#include "app/logger.h"
#include "app/version.h"
#include "decode/receiver_position.h"
#include "decode/statistics.h"
#include "json-server/jsonserver/src/command_get_stats_text.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <vector>

using boost::property_tree::ptree;

namespace {

// "0" ... "359": the keys and indices of the statistics replies.
const std::string& indexText(uint32_t i) {
  static const std::vector<std::string> texts = [] {
    std::vector<std::string> t;
    for (uint32_t n = 0; n < 360; ++n) t.push_back(unsignedToText(n));
    return t;
  }();
  return texts[i];
}

void putError(ptree& reply, const char* message) {
  reply.put("message", message);
  reply.put("status", "ERROR");
}

}  // namespace

const std::string& CommandGetStats::name() const {
  static const std::string text("getStats");
  return text;
}

Statistics& CommandGetStats::statistics() {
  if (!application.statistics) throw std::runtime_error("no statistics");
  return *application.statistics;
}

void CommandGetStats::execute(const ptree& request, ptree& reply) {
  const boost::optional<std::string> type = request.get_optional<std::string>("data.statsType");
  if (!type) {
    putError(reply, "Incorrect stats type");
    return;
  }
  const std::string& statsType = *type;
  const Config& config = *application.config;
  try {
    ptree stats;
    if (statsType == "df") {
      buildDf(stats);
    } else if (statsType == "counters") {
      buildCounters(stats);
    } else if (statsType == "chart") {
      appendChild(stats, "M", flagText(config.metric));
      buildDistanceStats(stats);
      buildHourStats(stats);
      buildPolarStats(stats);
    } else if (statsType == "polarDistances") {
      buildPolarDistances(stats);
    } else if (statsType == "flights") {
      const boost::optional<uint32_t> since = request.get_optional<uint32_t>("data.id");
      if (!since) {
        putError(reply, "Invalid index");
        return;
      }
      const uint32_t trailSerial = request.get_optional<uint32_t>("data.tid").value_or(0);
      appendChild(stats, "M", flagText(config.metric));
      const boost::optional<std::string> icao = request.get_optional<std::string>("data.icao");
      buildFlightsJson(stats, *since, icao ? parseIcaoText(*icao) : 0, trailSerial);
    } else if (statsType == "tracks") {
      appendChild(stats, "M", flagText(config.metric));
      buildTracks(statistics(), stats);
    } else if (statsType == "track") {
      const boost::optional<std::string> icao = request.get_optional<std::string>("data.icao");
      if (!icao) {
        putError(reply, "Icao not found");
        return;
      }
      const uint32_t address = parseIcaoText(*icao);
      if (address == 0) {
        putError(reply, "Ivalid icao");
        return;
      }
      appendChild(stats, "M", flagText(config.metric));
      buildTrack(statistics(), address, stats);
    } else if (statsType == "log") {
      if (!buildLog(request, reply, stats)) return;
    } else if (statsType == "ver") {
      appendChild(stats, "version", velkaroVersion);
    } else {
      putError(reply, "Invalid stats type");
      return;
    }
    // Moved in, not copied: a "tracks" tree can be large.
    ptree& slot = appendChild(reply, "stats");
    slot.swap(stats);
    reply.put("status", "OK");
  } catch (const std::exception&) {
    reply.erase("stats");
    putError(reply, "Can't get stats");
  }
}

void CommandGetStats::buildDf(ptree& stats) {
  Statistics& s = statistics();
  ptree& df = appendChild(stats, "df");
  for (int i = 0; i < 32; ++i) appendChild(df, indexText(i), integerText(s.downlinkFormatCount(i)));
  ptree& adsb = appendChild(stats, "adsb");
  for (int i = 0; i < 32; ++i) appendChild(adsb, indexText(i), integerText(s.typeCodeCount(i)));
}

void CommandGetStats::buildCounters(ptree& stats) {
  Statistics& s = statistics();
  const Config& config = *application.config;
  ptree& counters = appendChild(stats, "counters");
  for (const auto& [kind, total] : s.counters()) appendChild(counters, statCounterName(kind), integerText(total));

  uint64_t modes = 0;
  uint64_t adsb = 0;
  {
    AircraftTable& table = s.aircraftTable();
    std::lock_guard<std::mutex> lock(table.mutex());
    const uint32_t now = hostSeconds();
    table.sweep(now);
    for (const auto& entry : table.aircraft()) {
      const Aircraft& aircraft = *entry.second;
      // Heard at most 24 s ago; a time after now (the clock went back) counts as in view.
      if (uint64_t(aircraft.lastHeard) + 24 < now) continue;
      if (aircraft.adsb.value) {
        ++adsb;
      } else {
        ++modes;
      }
    }
  }
  appendChild(counters, "FLIGHTS_MODES", integerText(modes));
  appendChild(counters, "FLIGHTS_ADSB", integerText(adsb));
  appendChild(counters, "STARTUP_TIME", integerText(s.startTime()));

  double latitude = 0;
  double longitude = 0;
  if (application.receiverPosition && application.receiverPosition->get(latitude, longitude)) {
    appendChild(counters, "RECEIVER_LAT", doubleText(latitude));
    appendChild(counters, "RECEIVER_LON", doubleText(longitude));
  }
  if (config.referencePointGiven) {
    appendChild(counters, "REFPOINT_LAT", floatText(config.referencePoint.latitude));
    appendChild(counters, "REFPOINT_LON", floatText(config.referencePoint.longitude));
    appendChild(counters, "REFPOINT_LABEL", config.referencePoint.label);
  }

  ptree& points = appendChild(stats, "additionalPoints");
  for (const ReferencePoint& point : config.additionalPoints) {
    ptree& item = appendChild(points, "");
    appendChild(item, "label", point.label);
    appendChild(item, "lattitude", floatText(point.latitude));
    appendChild(item, "longtitude", floatText(point.longitude));
  }
}

void CommandGetStats::buildDistanceStats(ptree& target) {
  Statistics& s = statistics();
  ptree& distances = appendChild(target, "distances");
  // The page's chart has 500 cells; the metric histogram's last 50 are never sent.
  const uint32_t cells = std::min<uint32_t>(500, s.histogramCellCount());
  for (uint32_t i = 0; i < cells; ++i) {
    const uint64_t count = s.histogramCell(i);
    if (count != 0) appendChild(distances, indexText(i), integerText(count));
  }
}

void CommandGetStats::buildHourStats(ptree& target) {
  Statistics& s = statistics();
  HourCounts hours[24];
  for (int h = 0; h < 24; ++h) hours[h] = s.hour(h);
  ptree& node = appendChild(target, "hours");
  ptree& messages = appendChild(node, "msgs");
  for (int h = 0; h < 24; ++h) appendChild(messages, indexText(h), integerText(hours[h].messages));
  ptree& positions = appendChild(node, "positions");
  for (int h = 0; h < 24; ++h) appendChild(positions, indexText(h), integerText(hours[h].positions));
}

void CommandGetStats::buildPolarStats(ptree& target) {
  Statistics& s = statistics();
  ptree& polar = appendChild(target, "polar");
  ptree& messages = appendChild(polar, "msgs");
  for (int ring = 0; ring < Statistics::kRings; ++ring) {
    ptree& ringNode = appendChild(messages, indexText(ring));
    for (int sector = 0; sector < Statistics::kSectors; ++sector) {
      appendChild(ringNode, indexText(sector), integerText(s.polarCount(sector, ring)));
    }
  }
  ptree& distance = appendChild(polar, "distance");
  for (int sector = 0; sector < Statistics::kSectors; ++sector) {
    appendChild(distance, indexText(sector), floatText(s.sectorMaximum(sector)));
  }
}

void CommandGetStats::buildPolarDistances(ptree& stats) {
  Statistics& s = statistics();
  ptree& list = appendChild(stats, "polarDistances");
  for (int degree = 0; degree < Statistics::kDegrees; ++degree) {
    const FarthestPosition farthest = s.farthest(degree);
    ptree& element = appendChild(list, "");
    if (farthest.distance > 0) {
      appendChild(element, "", doubleToText(farthest.latitude));
      appendChild(element, "", doubleToText(farthest.longitude));
    }
  }
}

bool CommandGetStats::buildLog(const ptree& request, ptree& reply, ptree& stats) {
  const boost::optional<uint32_t> index = request.get_optional<uint32_t>("data.index");
  if (!index) {
    putError(reply, "Invalid index");
    return false;
  }
  if (!application.config->disableWebLog) {
    getLogSince(stats, *index);
  } else if (*index == 0) {
    ptree& line = appendChild(stats, "");
    appendChild(line, "", "1");
    appendChild(line, "", "4");
    appendChild(line, "", "Web Log Disabled.");
  }
  return true;
}

uint32_t parseIcaoText(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) i += 2;
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    // No address is that long; saturate rather than wrap onto a real one.
    value = std::min<uint64_t>(value * 16 + digit, 0xFFFFFFFFu);
  }
  return static_cast<uint32_t>(value);
}
