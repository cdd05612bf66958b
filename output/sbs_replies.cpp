#include "output/sbs_replies.h"

namespace {

// Six ASCII digits, the same in every reply.
const char deviceIdentifier[] = "001090";

std::string identificationReply(uint8_t echoed) {
  std::string reply;
  reply += '\x26';
  reply += static_cast<char>(echoed);
  reply += deviceIdentifier;
  reply += "  SBS-3";
  reply.append(11, ' ');
  reply += 'w';
  static const char tail[] = {0x00, 0x03, 0x01, 0x00, 0x00, 0x01, 0x13, 0x00};
  reply.append(tail, sizeof tail);
  return reply;
}

}  // namespace

bool isSbsLogin(const uint8_t* payload, int32_t length) { return length >= 1 && payload[0] == sbsLoginCommand; }

std::vector<std::string> sbsRepliesTo(const uint8_t* payload, int32_t length) {
  if (length < 1) return {};
  const uint8_t echoed = length >= 2 ? payload[1] : 0;
  if (isSbsLogin(payload, length)) return {identificationReply(echoed), std::string("\x2C\x80", 2)};
  std::string acknowledgement;
  acknowledgement += '\x20';
  acknowledgement += static_cast<char>(echoed);
  acknowledgement += '\0';
  return {acknowledgement};
}
