#pragma once

extern const char* const velkaroVersion;  // "v.20170127"
