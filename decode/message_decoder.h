#pragma once
// Turns one 7- or 14-byte Mode S frame into a Message: surveillance replies,
// all-call replies, extended squitters by type code and Comm-B registers.
// Not re-entrant: one decoder per frame-delivering thread.

#include <cstdint>

#include "decode/cpr.h"
#include "decode/message.h"
#include "decode/modes_data.h"

class MessageDecoder {
 public:
  MessageDecoder() = default;

  // True when the frame was decoded into `message` (reset first). Any length
  // and any bytes are safe: only bytes[0..13] are ever read.
  bool decode(const ModesData& frame, Message& message);

  // CPR position of one frame for one aircraft, kept in `cprStates`. Defined with the CPR code.
  bool decodeCprPosition(uint32_t address, bool odd, uint32_t cprLat, uint32_t cprLon,
                         double referenceLat, double referenceLon, uint32_t time, bool surface,
                         bool referenceValid, double& latitude, double& longitude);

  CprStateTable cprStates;

  // Enables the 550 km plausibility test of decoded positions; on for the whole run.
  bool rangeCheck = true;

 private:
  // Each works on the decode in progress (currentFrame / currentMessage).
  void decodeAc12Altitude();
  void decodeAc13Altitude();
  void decodeCapability();
  void decodeIdentity(uint32_t code13);
  void decodeFlightStatus();
  void decodeCallsign();
  void decodeCommB();
  bool decodeExtendedSquitter();

  void decodeInterrogatorCode();
  void decodeReplyInformation();
  void decodeDownlinkRequest();
  void decodeSurfacePosition();
  void decodeAirbornePosition();
  bool decodeAirborneVelocity();
  void decodeTestMessage();
  void decodeAircraftStatus();
  void decodeTargetState();
  void decodeOperationalStatus();
  void decodePosition(bool surface);

  bool tryMeteorologicalReport();
  bool trySelectedVerticalIntention();
  bool tryTrackAndTurn();
  bool tryHeadingAndSpeed();
  bool tryIdentification();

  const ModesData* currentFrame = nullptr;
  Message* currentMessage = nullptr;
};
