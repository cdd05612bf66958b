#include "output/sbs_command_parser.h"

#include "output/sbs_frame.h"

SbsCommandParser::Event SbsCommandParser::feed(uint8_t b) {
  if (payloadLength >= capacity) {
    // The byte that finds the buffer full starts the hunt anew.
    parserState = 0;
    payloadLength = 0;
    if (b == sbsDle) parserState = 1;
    return Event::Overflow;
  }
  switch (parserState) {
    case 0:
      if (b == sbsDle) {
        parserState = 1;
        payloadLength = 0;
      }
      break;
    case 1:
      parserState = b == sbsStx ? 2 : 0;
      break;
    case 2:
      if (b == sbsDle) {
        // A command byte 0x10 is not accepted. This DLE is taken as the start of the hunt, so the
        // second DLE of a doubled one is not: hunting from there would read the payload as framing.
        parserState = 1;
        payloadLength = 0;
      } else {
        store(b);
        parserState = 3;
      }
      break;
    case 3:
      if (b == sbsDle) {
        parserState = 4;
      } else {
        store(b);
      }
      break;
    case 4:
      if (b == sbsEtx) {
        parserState = 5;
      } else if (b == sbsDle) {
        store(b);
        parserState = 3;
      } else {
        parserState = 0;
      }
      break;
    case 5:
      parserState = b == sbsDle ? 6 : 7;
      break;
    case 6:
      parserState = b == sbsDle ? 7 : 0;
      break;
    case 7:
      if (b == sbsDle) {
        parserState = 8;
      } else {
        parserState = 0;
        return Event::Command;
      }
      break;
    case 8:
      parserState = 0;
      if (b == sbsDle) return Event::Command;
      break;
    default:
      parserState = 0;
      break;
  }
  return Event::None;
}
