#pragma once

#include <boost/date_time/posix_time/ptime.hpp>

#include <cstdint>

// Whole seconds from 1970-01-01 00:00:00 to the given time, truncated toward zero.
int64_t toUnixSeconds(const boost::posix_time::ptime& time);
