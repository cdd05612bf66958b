#pragma once
// What a long run watches of the program: resident memory, descriptors and threads from /proc,
// sampled with the run's progress, printed as a table and written to a CSV file as they come.

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

namespace longrun {

struct Sample {
  double minutes = 0;
  double rssMiB = 0;
  int fds = 0;
  int threads = 0;
  uint64_t frames = 0;
  uint64_t polls = 0;
  uint64_t clients = 0;  // connections opened by the churning and slow clients so far
  uint64_t sentences = 0;
};

inline std::string statusField(pid_t pid, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(name + ":", 0) == 0) return line.substr(name.size() + 1);
  }
  return "";
}

inline int descriptorCount(pid_t pid) {
  std::error_code error;
  int n = 0;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end; !error && it != end;
       it.increment(error))
    ++n;
  return n;
}

// What the descriptors lead to, one a line, to show which ones are left over.
inline std::string descriptorTargets(pid_t pid) {
  std::error_code error;
  std::map<std::string, int> kinds;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end; !error && it != end;
       it.increment(error)) {
    std::string target = std::filesystem::read_symlink(it->path(), error).string();
    ++kinds[target.substr(0, target.find(':') == std::string::npos ? target.size() : target.find(':'))];
  }
  std::string out;
  for (const auto& [k, n] : kinds) out += "  " + std::to_string(n) + " x " + k + "\n";
  return out;
}

inline Sample sampleOf(pid_t pid) {
  Sample s;
  s.rssMiB = std::atof(statusField(pid, "VmRSS").c_str()) / 1024.0;
  s.threads = std::atoi(statusField(pid, "Threads").c_str());
  s.fds = descriptorCount(pid);
  return s;
}

class Table {
 public:
  explicit Table(const std::string& path) : csv(path, std::ios::trunc) {
    csv << "minute,rss_mib,fds,frames,web_polls,threads,clients,gps_sentences\n";
    std::printf("\n minute   RSS MiB   fds      frames   web polls  threads  clients  GPS sentences\n");
  }
  void add(const Sample& s) {
    std::printf("%7.2f  %8.1f  %4d  %10llu  %10llu  %7d  %7llu  %13llu\n", s.minutes, s.rssMiB, s.fds,
                static_cast<unsigned long long>(s.frames), static_cast<unsigned long long>(s.polls), s.threads,
                static_cast<unsigned long long>(s.clients), static_cast<unsigned long long>(s.sentences));
    std::fflush(stdout);
    csv << s.minutes << "," << s.rssMiB << "," << s.fds << "," << s.frames << "," << s.polls << "," << s.threads << ","
        << s.clients << "," << s.sentences << std::endl;
  }

 private:
  std::ofstream csv;
};

}  // namespace longrun
