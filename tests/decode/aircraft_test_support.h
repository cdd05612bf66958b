#pragma once
// Decoded messages built field by field, and a FlightRoute queue that records what the aircraft
// table hands over, for the tracking tests.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/config.h"
#include "decode/air_info_queue.h"
#include "decode/aircraft.h"
#include "decode/message.h"
#include "decode/modes_data.h"
#include "decode/receiver_position.h"

namespace tracking_test {

constexpr uint32_t kStart = 1500000000;  // a Friday, 02:40 UTC

class RecordingAirInfo : public AirInfoQueue {
 public:
  // With a mutex given, every push also checks from another thread that the mutex is held.
  explicit RecordingAirInfo(std::mutex* tableMutex = nullptr) : tableMutex(tableMutex) {}

  void push(std::shared_ptr<AirInfoCommand> command) override {
    if (tableMutex != nullptr) {
      bool lockedElsewhere = false;
      std::thread probe([&] {
        lockedElsewhere = !tableMutex->try_lock();
        if (!lockedElsewhere) tableMutex->unlock();
      });
      probe.join();
      if (!lockedElsewhere) ++pushesWithoutTableLock;
    }
    commands.push_back(*command);
  }

  std::vector<AirInfoCommand> take() {
    std::vector<AirInfoCommand> taken;
    taken.swap(commands);
    return taken;
  }

  std::vector<AirInfoCommand> commands;
  int pushesWithoutTableLock = 0;

 private:
  std::mutex* tableMutex;
};

inline Message message(int df, uint32_t icao, uint32_t time, int typeCode = 0) {
  Message m;
  m.df = df;
  m.icao = icao;
  m.time = time;
  m.typeCode = df == 17 || df == 18 || df == 19 ? typeCode : 0;
  return m;
}

inline Message identification(uint32_t icao, uint32_t time, const std::string& callsign) {
  Message m = message(17, icao, time, 4);
  m.callsign = callsign;
  m.set(MessageField::CALLSIGN);
  m.cat = 4;
  m.set(MessageField::CAT);
  return m;
}

inline Message airbornePosition(uint32_t icao, uint32_t time, double lat, double lon, int altitude) {
  Message m = message(17, icao, time, 11);
  m.lat = lat;
  m.lon = lon;
  m.altitude = altitude;
  m.set(MessageField::LAT);
  m.set(MessageField::LON);
  m.set(MessageField::ALTITUDE);
  return m;
}

inline Message positionWithoutAltitude(uint32_t icao, uint32_t time, double lat, double lon) {
  Message m = message(17, icao, time, 11);
  m.lat = lat;
  m.lon = lon;
  m.set(MessageField::LAT);
  m.set(MessageField::LON);
  return m;
}

inline Message surfacePosition(uint32_t icao, uint32_t time, double lat, double lon) {
  Message m = message(17, icao, time, 7);
  m.lat = lat;
  m.lon = lon;
  m.gr = true;
  m.set(MessageField::LAT);
  m.set(MessageField::LON);
  m.set(MessageField::GR);
  return m;
}

inline Message velocity(uint32_t icao, uint32_t time, double gs, double tt, int vr) {
  Message m = message(17, icao, time, 19);
  m.gs = gs;
  m.tt = tt;
  m.vr = vr;
  m.set(MessageField::GS);
  m.set(MessageField::TT);
  m.set(MessageField::VR);
  return m;
}

inline Message surveillance(int df, uint32_t icao, uint32_t time) { return message(df, icao, time); }

inline ModesData frameWithSignal(uint8_t signal, uint32_t time) {
  ModesData frame;
  frame.length = 14;
  frame.signal = signal;
  frame.time = time;
  return frame;
}

// Latitude `metres` north of `latitude` along a meridian, on the sphere the distances use.
inline double northOf(double latitude, double metres) {
  return latitude + metres / 6372795.0 * 180.0 / 3.14159265358979323846;
}

// One aircraft record with a receiver fixed at 52 N 4 E and a recording FlightRoute queue.
class AircraftFixture : public ::testing::Test {
 protected:
  AircraftFixture() { receiver.fix(52.0, 4.0); }

  // Creates the record with the first message, as the table does.
  Aircraft& first(const Message& m, uint32_t serial, uint8_t signal = 100) {
    aircraft = std::make_unique<Aircraft>(m.icao, context, m.time, serial);
    aircraft->update(frameWithSignal(signal, m.time), m, serial);
    return *aircraft;
  }
  void next(const Message& m, uint32_t serial, uint8_t signal = 100) {
    aircraft->update(frameWithSignal(signal, m.time), m, serial);
  }
  size_t routeLookups() const {
    size_t n = 0;
    for (const auto& c : airInfo.commands) n += c.kind() == AirInfoCommand::Kind::RouteLookup;
    return n;
  }

  Config config;
  ReceiverPosition receiver;
  RecordingAirInfo airInfo;
  AircraftContext context{config, &receiver, &airInfo};
  std::unique_ptr<Aircraft> aircraft;
};

}  // namespace tracking_test
