#pragma once
// "getStats": every read-only question of the web page. Counters by downlink format and type
// code, the counter table with the aircraft in view and the positions, the chart data, the
// farthest position per bearing, the log, the version, and the aircraft replies "flights",
// "tracks" and "track" (command_get_stats_flights.cpp). Runs on the web server's poll thread.

#include "json-server/jsonserver/src/base_command.h"

#include <boost/property_tree/ptree.hpp>

#include <cstdint>
#include <string>

class Statistics;

class CommandGetStats : public BaseCommand {
 public:
  // Reads the application's config, statistics and receiver position on every request; the
  // statistics may be made after the command.
  explicit CommandGetStats(Application& application) : BaseCommand(application) {}

  void execute(const boost::property_tree::ptree& request, boost::property_tree::ptree& reply) override;
  const std::string& name() const override;
  bool isAsync() const override { return false; }

  void buildDistanceStats(boost::property_tree::ptree& target);
  void buildHourStats(boost::property_tree::ptree& target);
  void buildPolarStats(boost::property_tree::ptree& target);
  // The "flights" answer: the aircraft changed after `since`, with the trail of `selected` from
  // `trailSerial`.
  void buildFlightsJson(boost::property_tree::ptree& stats, uint32_t since, uint32_t selected, uint32_t trailSerial);

 private:
  Statistics& statistics();
  void buildDf(boost::property_tree::ptree& stats);
  void buildCounters(boost::property_tree::ptree& stats);
  void buildPolarDistances(boost::property_tree::ptree& stats);
  // False (with the error in `reply`) when "data.index" is not readable.
  bool buildLog(const boost::property_tree::ptree& request, boost::property_tree::ptree& reply,
                boost::property_tree::ptree& stats);
};

// Every aircraft with its whole trail.
void buildTracks(Statistics& statistics, boost::property_tree::ptree& stats);
// One aircraft with its whole trail under "track"; nothing when it is not in the table.
void buildTrack(Statistics& statistics, uint32_t address, boost::property_tree::ptree& stats);

// A hexadecimal address text: leading blanks and "0x" accepted, conversion stops at the first
// other character; 0 when no digit is read.
uint32_t parseIcaoText(const std::string& text);
