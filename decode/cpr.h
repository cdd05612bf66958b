#pragma once
// Compact Position Reporting: per-aircraft even/odd frame state and the global and local decodes.
// Airborne frames use 360-degree zone sets, surface frames 90-degree ones.

#include <cstdint>
#include <unordered_map>

// Number of longitude zones at a latitude (1 to 59).
int cprNL(double latitude);

struct CprState {
  int32_t status = 0;  // 0 no position, 1 one global fix, 2 confirmed (local decoding)
  uint32_t address = 0;
  uint32_t lastSeen = 0;
  bool evenSurface = false;
  bool oddSurface = false;
  int32_t evenLatitude = 0;  // 17-bit CPR values of the latest frames
  int32_t evenLongitude = 0;
  int32_t oddLatitude = 0;
  int32_t oddLongitude = 0;
  uint32_t evenTime = 0;  // 0 = no frame stored
  uint32_t oddTime = 0;
  double lastLatitude = 0;
  double lastLongitude = 0;
  uint32_t lastFixTime = 0;  // 0 = no accepted position

  void store(bool odd, uint32_t cprLatitude, uint32_t cprLongitude, uint32_t time, bool surface);
  // Back to status 0: forgets both frames and the last position.
  void reset();

  // Position of the frame stored last (of parity `odd`) from the even/odd pair. Surface frames
  // need a reference: the last position when there is one, else the given reference if valid.
  bool decodeGlobal(bool odd, double referenceLatitude, double referenceLongitude,
                    bool referenceValid, double& latitude, double& longitude) const;
  // Position of one frame relative to the last position. Fails only for values that are not
  // 17-bit or a result off the globe.
  bool decodeLocal(bool odd, bool surface, uint32_t cprLatitude, uint32_t cprLongitude,
                   double& latitude, double& longitude) const;
  // Whether an aircraft could have moved from the last position to this one by `time`.
  bool isPlausible(uint32_t time, bool surface, double latitude, double longitude) const;
};

// The decoder's CPR map: one state per address, purged once per second of frame time.
struct CprStateTable {
  std::unordered_map<uint32_t, CprState> states;
  uint32_t lastPurge = 0;

  // Drops states silent for more than 10 s, at most once per distinct second.
  void purge(uint32_t time);
};
