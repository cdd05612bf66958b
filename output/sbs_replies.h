#pragma once
// Payloads (before framing) of the answers an SBS-3 session gives to a received command.

#include <cstdint>
#include <string>
#include <vector>

constexpr uint8_t sbsLoginCommand = 0x17;

// The login gets the identification and the status reply; any other command an acknowledgement.
// The second payload byte is echoed; a one-byte command echoes 0.
std::vector<std::string> sbsRepliesTo(const uint8_t* payload, int32_t length);

bool isSbsLogin(const uint8_t* payload, int32_t length);
