#pragma once
// Sets a file's access and modification times to any second, also past 2038 on the 32-bit board,
// whose C library takes a 32-bit time here: the kernel's own 64-bit call is used there.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <string>

inline bool setFileTime(const std::string& path, int64_t seconds) {
#ifdef SYS_utimensat_time64
  const struct {
    int64_t seconds, nanoseconds;
  } times[2] = {{seconds, 0}, {seconds, 0}};
  return ::syscall(SYS_utimensat_time64, AT_FDCWD, path.c_str(), times, 0) == 0;
#else
  const timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
#endif
}
