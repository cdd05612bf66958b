#pragma once
// Basic authentication: the credentials carried by an "Authorization" header.

#include <string>

// Standard-alphabet base64. One or two trailing "=" are dropped first; bits that do not make a
// whole byte at the end are dropped. False for any other character (an inner "=" included).
bool decodeBase64(const std::string& text, std::string& decoded);

// "user:password" from a header of the form "Basic " + base64 (exact scheme word and one blank);
// empty for a missing header, another scheme, or text that does not decode.
std::string basicAuthCredentials(const std::string& authorizationHeader);
