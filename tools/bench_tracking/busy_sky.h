#pragma once
// A busy sky for the benchmarks of the frame thread: 2,000 aircraft around the receiver and the
// decoded messages a receiver hears from them.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include "decode/message.h"

namespace busy_sky {

inline constexpr uint32_t kStart = 1500000000;
inline constexpr int kAircraft = 2000;
inline constexpr double kReceiverLat = 52.0, kReceiverLon = 4.0;

struct Flight {
  uint32_t icao;
  double lat, lon;      // at kStart
  double track;         // degrees
  double speed;         // knots
  int altitude;
  int verticalRate;
  char callsign[9];
};

inline std::vector<Flight> makeFlights(std::mt19937& random) {
  std::uniform_real_distribution<double> offset(-3.5, 3.5), track(0, 360), speed(140, 480);
  std::uniform_int_distribution<int> altitude(10, 400), climb(-20, 20);
  std::vector<Flight> flights;
  for (int i = 0; i < kAircraft; ++i) {
    Flight f;
    f.icao = 0x400000 + uint32_t(i) * 7;
    f.lat = kReceiverLat + offset(random);
    f.lon = kReceiverLon + offset(random) * 1.6;
    f.track = track(random);
    f.speed = speed(random);
    f.altitude = altitude(random) * 100;
    f.verticalRate = climb(random) * 64;
    std::snprintf(f.callsign, sizeof f.callsign, "VK%04d", i);
    flights.push_back(f);
  }
  return flights;
}

// A mix as a busy receiver hears it: ADS-B positions, velocities and identifications, and the
// Mode S replies of surveillance and Comm-B interrogations.
inline Message makeMessage(const Flight& f, uint32_t time, int kind) {
  Message m;
  m.icao = f.icao;
  m.time = time;
  const double hours = (time - kStart) / 3600.0;
  const double distance = f.speed * hours / 60.0;  // degrees of arc, roughly
  const double lat = f.lat + distance * std::cos(f.track * M_PI / 180);
  const double lon = f.lon + distance * std::sin(f.track * M_PI / 180) / std::cos(f.lat * M_PI / 180);
  const int altitude = f.altitude + int(f.verticalRate * hours * 60) / 25 * 25;
  switch (kind) {
    case 0: case 1: case 2:  // airborne position
      m.df = 17;
      m.typeCode = 11;
      m.lat = lat;
      m.lon = lon;
      m.altitude = altitude;
      m.gr = false;
      m.set(MessageField::LAT);
      m.set(MessageField::LON);
      m.set(MessageField::ALTITUDE);
      m.set(MessageField::GR);
      m.set(MessageField::NIC);
      m.set(MessageField::CPR);
      break;
    case 3: case 4:  // airborne velocity
      m.df = 17;
      m.typeCode = 19;
      m.gs = f.speed;
      m.tt = f.track;
      m.vr = f.verticalRate;
      m.set(MessageField::GS);
      m.set(MessageField::TT);
      m.set(MessageField::VR);
      m.set(MessageField::NUCR);
      m.set(MessageField::IFR);
      break;
    case 5:  // identification
      m.df = 17;
      m.typeCode = 4;
      m.callsign = f.callsign;
      m.cat = 4;
      m.cat2 = 3;
      m.set(MessageField::CALLSIGN);
      m.set(MessageField::CAT);
      m.set(MessageField::CAT2);
      break;
    case 6: case 7:  // all-call reply
      m.df = 11;
      m.ca = 5;
      m.iis = 3;
      m.set(MessageField::CA);
      m.set(MessageField::IIS);
      break;
    case 8:  // surveillance altitude
      m.df = 4;
      m.altitude = altitude;
      m.fs = 0;
      m.set(MessageField::ALTITUDE);
      m.set(MessageField::FS);
      break;
    default:  // Comm-B heading and speed
      m.df = 20;
      m.altitude = altitude;
      m.hdg = f.track + 3;
      m.ias = int(f.speed * 0.7);
      m.mach = 700;
      m.set(MessageField::ALTITUDE);
      m.set(MessageField::HDG);
      m.set(MessageField::IAS);
      m.set(MessageField::MACH);
      m.set(MessageField::BDS60);
      break;
  }
  return m;
}

}  // namespace busy_sky
