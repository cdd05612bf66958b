#pragma once
// Text renderings of a decoded message: the BaseStation "MSG," line and the one-line dump.

#include <cstdint>
#include <string>

struct Message;

// 1-8, or 0 for a message that has no line.
int msgType(const Message& message);

// Calendar time of a line, to the millisecond.
struct MsgTime {
  int year, month, day, hour, minute, second, millisecond;
};
MsgTime msgTimeNow(bool localTime);
// The line's time of a clock reading in milliseconds since 1970: UTC, or the host's local time.
MsgTime msgTimeAt(int64_t unixMillis, bool localTime);

// False (and out untouched) for a message of no MSG type; otherwise the line with "\r\n".
bool writeMsgLine(bool localTime, const Message& message, std::string& out);
bool formatMsgLine(const Message& message, const MsgTime& time, std::string& out);

// "DF17 Type 4 ICAO: 4840D6 CALLSIGN KLM1023 ... TIMESTAMP 1485507903"
std::string dumpMessage(const Message& message);
