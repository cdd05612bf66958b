#pragma once
// Texts shared across the program, set up before main runs.

#include <string>

extern const char* const velkaroVersion;  // "v.20170127"

// Padding of a base64 text, indexed by the encoded input's length modulo 3.
extern const std::string base64PaddingTexts[3];

// URL prefixes of the picture directories.
extern const std::string silhouettesUrlPrefix;  // "/img/silhouettes"
extern const std::string picturesUrlPrefix;     // "/img/aircrafts"
