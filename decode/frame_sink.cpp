#include "decode/frame_sink.h"

#include "app/application.h"
#include "app/host_clock.h"
#include "app/logger.h"
#include "decode/feed_encoding.h"
#include "decode/message_decoder.h"
#include "decode/message_filter.h"
#include "decode/modes_data.h"
#include "decode/msg_line.h"
#include "decode/receiver_position.h"
#include "decode/statistics.h"
#include "output/network_server.h"
#include "output/nmea_output.h"
#include "output/sbs_frame.h"
#include "sdr/sdr_device.h"

namespace {

// Hands the feed data to the server and counts what goes out to its sessions.
void sendBytes(NetworkServer& server, Statistics* statistics, const std::string& bytes) {
  server.broadcastBytes(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()));
  if (statistics) statistics->addCounter(OUTPUT_BYTES, bytes.size() * server.sessionCount());
}

void sendText(NetworkServer& server, Statistics* statistics, const std::string& text) {
  server.broadcastText(text);
  if (statistics) statistics->addCounter(OUTPUT_BYTES, text.size() * server.sessionCount());
}

}  // namespace

void FrameSink::onFrame(const uint8_t* bytes, uint32_t length, uint64_t timestamp, uint8_t signal) {
  Application& app = application;
  const ModesData frame(bytes, length, signal, hostSeconds(), app.receiverPosition.get());
  if (!app.messageFilter->accept(frame)) return;

  bool decoded = false;
  if (length == 7 || length == 14) {
    decoded = app.messageDecoder->decode(frame, message);
    if (decoded && app.config->duplicateFilter && app.messageFilter->isDuplicate(message)) {
      logDebug("Duplicate filtered: " + dumpMessage(message));
      return;
    }
  }
  // Only the bytes the frame record kept are ever written out.
  const uint8_t* data = frame.bytes;
  const uint32_t n = length < sizeof frame.bytes ? length : sizeof frame.bytes;

  Statistics* statistics = app.statistics.get();

  if (app.beastServer) sendBytes(*app.beastServer, statistics, encodeBeast(data, n, timestamp, signal));
  if (app.sbsServer && (n == 2 || n == 7 || n == 14)) {
    sendBytes(*app.sbsServer, statistics, wrapSbsFrame(encodeSbsData(data, n, timestamp)));
  }
  if (app.avrMlatServer) sendText(*app.avrMlatServer, statistics, encodeAvrMlat(data, n, timestamp));
  if (app.avrMlatAirspyServer) {
    const uint32_t factor = app.device ? app.device->oversamplingFactor() : 1;
    sendText(*app.avrMlatAirspyServer, statistics, encodeAvrMlatAirspy(data, n, timestamp, factor));
  }
  if (app.avrServer) sendText(*app.avrServer, statistics, encodeAvr(data, n));

  if (app.config->verbose) {
    std::string line;
    appendHex(line, data, n);
    if (decoded) line += " " + dumpMessage(message);
    logInfo(line);
  }

  if (decoded) {
    if (statistics) statistics->onMessage(frame, message);
    if (app.msgServer) {
      std::string text;
      if (writeMsgLine(app.msgLocalTimeFlag, message, text)) sendText(*app.msgServer, statistics, text);
    }
    if (app.serialServer) {
      double latitude = 0, longitude = 0, speed = 0, track = 0, altitude = 0;
      if (app.nmeaTarget->update(message, latitude, longitude, speed, track, altitude)) {
        // The followed aircraft is where the receiver is, for distances and coverage too.
        app.receiverPosition->fix(latitude, longitude);
        writeNmeaSentences(app, latitude, longitude, speed, track, altitude);
      }
    }
  } else if (n == 2 && statistics) {
    statistics->addCounter(MODEAC_MSG, 1);
  }
}
