#include "decode/frame_sink.h"

#include "app/application.h"
#include "app/host_clock.h"
#include "app/logger.h"
#include "decode/feed_encoding.h"
#include "decode/message_decoder.h"
#include "decode/message_filter.h"
#include "decode/modes_data.h"
#include "decode/msg_line.h"
#include "output/network_server.h"
#include "output/sbs_frame.h"
#include "sdr/sdr_device.h"

namespace {

void broadcastBytes(NetworkServer& server, const std::string& bytes) {
  server.broadcastBytes(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()));
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

  if (app.beastServer) broadcastBytes(*app.beastServer, encodeBeast(data, n, timestamp, signal));
  if (app.sbsServer && (n == 2 || n == 7 || n == 14)) {
    broadcastBytes(*app.sbsServer, wrapSbsFrame(encodeSbsData(data, n, timestamp)));
  }
  if (app.avrMlatServer) app.avrMlatServer->broadcastText(encodeAvrMlat(data, n, timestamp));
  if (app.avrMlatAirspyServer) {
    app.avrMlatAirspyServer->broadcastText(
        encodeAvrMlatAirspy(data, n, timestamp, app.device ? app.device->oversamplingFactor() : 1));
  }
  if (app.avrServer) app.avrServer->broadcastText(encodeAvr(data, n));

  if (app.config->verbose) {
    std::string line;
    appendHex(line, data, n);
    if (decoded) line += " " + dumpMessage(message);
    logInfo(line);
  }

  if (decoded) {
    if (app.msgServer) {
      std::string text;
      if (writeMsgLine(app.msgLocalTimeFlag, message, text)) app.msgServer->broadcastText(text);
    }
  }
}
