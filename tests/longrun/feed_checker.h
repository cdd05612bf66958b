#pragma once
// The check of a long run's fast clients, run over and over as their records come in.

#include "e2e/feed_frames.h"
#include "longrun/feed_streams.h"
#include "longrun/signal_source.h"
#include "sdr/crc.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace longrun {

// Compares the fast clients' records as they come: every feed's frame sequence with the BEAST
// client's (same frames, same order, the same times in each feed's own form), the BEAST frames
// with what was sent, and the two MSG clients' lines with each other.
class Checker {
 public:
  Checker(FastClient& beast, std::vector<FastClient*> framed, FastClient& msgA, FastClient& msgB, SentWindow& sent)
      : beast(beast), msgA(msgA), msgB(msgB), sent(sent) {
    for (FastClient* c : framed) followers.push_back({c, {}, 0, ""});
  }

  void run() {
    std::deque<FeedRecord> incoming;
    beast.take(incoming);
    for (FeedRecord& r : incoming) {
      checkSent(r);
      reference.push_back(std::move(r));
      ++beastTotal;
    }
    for (Follower& f : followers) {
      f.client->take(f.queue);
      while (f.problem.empty() && !f.queue.empty() && f.position < beastTotal) {
        const FeedRecord& want = reference[f.position - referenceBase];
        f.problem = compare(f.client->kind(), f.queue.front(), want);
        if (!f.problem.empty()) {
          f.problem =
              std::string(feedName(f.client->kind())) + " record " + std::to_string(f.position) + ": " + f.problem;
          break;
        }
        f.queue.pop_front();
        ++f.position;
      }
      if (!f.problem.empty()) f.queue.clear();  // one fault is enough; later records would only repeat it
    }
    uint64_t keep = beastTotal;
    for (const Follower& f : followers) {
      if (f.problem.empty()) keep = std::min(keep, f.position);
    }
    while (referenceBase < keep) {
      reference.pop_front();
      ++referenceBase;
    }

    msgA.take(linesA);
    msgB.take(linesB);
    while (msgProblem.empty() && !linesA.empty() && !linesB.empty()) {
      if (linesA.front().line != linesB.front().line) {
        msgProblem = "MSG line " + std::to_string(msgTotal) + ": \"" + linesA.front().line + "\" and \"" +
                     linesB.front().line + "\"";
        break;
      }
      checkMsgLine(linesA.front().line);
      linesA.pop_front();
      linesB.pop_front();
      ++msgTotal;
    }
  }

  uint64_t frames() const { return beastTotal; }
  uint64_t msgLines() const { return msgTotal; }
  const std::set<uint32_t>& addressesHeard() const { return heard; }
  // Records that wait for their counterpart: none once the feeds have gone quiet.
  std::vector<std::string> unmatched() const {
    std::vector<std::string> out;
    for (const Follower& f : followers) {
      if (f.problem.empty() && (f.position != beastTotal || !f.queue.empty()))
        out.push_back(std::string(feedName(f.client->kind())) + " has " + std::to_string(f.position + f.queue.size()) +
                      " records, BEAST " + std::to_string(beastTotal));
    }
    if (msgProblem.empty() && (!linesA.empty() || !linesB.empty()))
      out.push_back("the MSG clients differ by " + std::to_string(linesA.size()) + " / " +
                    std::to_string(linesB.size()) + " lines");
    return out;
  }
  std::vector<std::string> problems() const {
    std::vector<std::string> out = sentProblems;
    for (const Follower& f : followers) {
      if (!f.problem.empty()) out.push_back(f.problem);
    }
    if (!msgProblem.empty()) out.push_back(msgProblem);
    out.insert(out.end(), msgLineProblems.begin(), msgLineProblems.end());
    return out;
  }
  uint64_t framesNotSent() const { return notSent; }
  // Frames that are of the air but not as sent (see SentWindow::match).
  uint64_t framesDamaged() const { return damaged; }
  uint64_t framesInside() const { return inside; }
  const std::vector<std::string>& airFrames() const { return airExamples; }
  // Addresses of MSG lines that no BEAST frame had.
  std::set<uint32_t> msgAddressesNotHeard() const {
    std::set<uint32_t> out;
    for (uint32_t a : msgAddresses) {
      if (!heard.count(a)) out.insert(a);
    }
    return out;
  }

 private:
  struct Follower {
    FastClient* client;
    std::deque<FeedRecord> queue;
    uint64_t position;  // in the BEAST sequence
    std::string problem;
  };

  static std::string compare(Feed feed, const FeedRecord& got, const FeedRecord& want) {
    const auto& w = want.bytes;
    const std::string wanted = hex(w) + " at " + std::to_string(want.timestamp);
    switch (feed) {
      case Feed::AvrMlat:
        if (got.bytes == w && got.timestamp == want.timestamp) return "";
        return hex(got.bytes) + " at " + std::to_string(got.timestamp) + ", BEAST " + wanted;
      case Feed::Avr:
        if (got.bytes == w) return "";
        return hex(got.bytes) + ", BEAST " + wanted;
      case Feed::AvrMlatAirspy:
        // The 12 MHz count in the AirSpy feed's 32-bit field, rescaled.
        if (got.bytes == w && got.timestamp == ((want.timestamp / 3) & 0xFFFFFFFFu)) return "";
        return hex(got.bytes) + " at " + std::to_string(got.timestamp) + ", BEAST " + wanted;
      case Feed::Sbs3: {
        // The frame without its parity, then the parity's residue; a 24-bit time.
        std::vector<uint8_t> expected(w.begin(), w.end() - (w.size() > 2 ? 3 : 0));
        if (w.size() > 2) {
          const uint32_t residue = modeSCrcSyndrome(w.data(), static_cast<uint32_t>(w.size()));
          for (int shift = 16; shift >= 0; shift -= 8) expected.push_back(static_cast<uint8_t>(residue >> shift));
        }
        if (got.bytes == expected && got.timestamp == (want.timestamp & 0xFFFFFF)) return "";
        return hex(got.bytes) + " at " + std::to_string(got.timestamp) + ", BEAST " + wanted;
      }
      default:
        return "no comparison";
    }
  }

  void checkSent(const FeedRecord& r) {
    if (r.bytes.size() >= 7) heard.insert(addressOf(r.bytes));
    std::string closest;
    const SentWindow::Match found = sent.match(r, closest);
    if (found == SentWindow::Match::Intact) return;
    const std::string what =
        "BEAST frame " + std::to_string(beastTotal) + " " + hex(r.bytes) + " at " + std::to_string(r.timestamp);
    if (found != SentWindow::Match::None) {
      ++(found == SentWindow::Match::Damaged ? damaged : inside);
      if (airExamples.size() < 6) {
        airExamples.push_back(what + (found == SentWindow::Match::Damaged ? ", damaged: " : ", found inside: ") +
                              closest);
      }
      return;
    }
    ++notSent;
    if (sentProblems.size() < 10) sentProblems.push_back(what + " was not sent; the nearest frame sent: " + closest);
  }

  void checkMsgLine(const std::string& line) {
    std::vector<std::string> columns;
    std::istringstream in(line);
    for (std::string c; std::getline(in, c, ',');) columns.push_back(c);
    std::vector<uint8_t> icao;
    if (columns.size() >= 11 && columns[4].size() == 6 && hexBytes(columns[4], icao)) {
      msgAddresses.insert(uint32_t{icao[0]} << 16 | uint32_t{icao[1]} << 8 | icao[2]);
    } else if (msgLineProblems.size() < 10) {
      msgLineProblems.push_back("MSG line without an address: " + line);
    }
  }

  FastClient& beast;
  FastClient& msgA;
  FastClient& msgB;
  SentWindow& sent;
  std::vector<Follower> followers;
  std::deque<FeedRecord> reference;  // BEAST records from referenceBase on
  uint64_t referenceBase = 0;
  uint64_t beastTotal = 0;
  std::deque<FeedRecord> linesA, linesB;
  uint64_t msgTotal = 0;
  std::string msgProblem;
  std::vector<std::string> msgLineProblems;
  std::vector<std::string> sentProblems;
  uint64_t notSent = 0;
  uint64_t damaged = 0;
  uint64_t inside = 0;
  std::vector<std::string> airExamples;
  std::set<uint32_t> heard;
  std::set<uint32_t> msgAddresses;
};

}  // namespace longrun
