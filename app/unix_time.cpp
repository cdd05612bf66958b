#include "app/unix_time.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>

int64_t toUnixSeconds(const boost::posix_time::ptime& time) {
  static const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));
  const boost::posix_time::time_duration since = time - epoch;
  // total_seconds truncates toward zero on both sides of the epoch.
  return static_cast<int64_t>(since.total_seconds());
}
