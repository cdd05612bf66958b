#include "sdr/airspy_demodulator.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

using U16x8 = uint16_t __attribute__((vector_size(16)));
using U32x4 = uint32_t __attribute__((vector_size(16)));

constexpr uint32_t maxPhases = 255;  // 510 MS/s

inline uint16_t magnitudeOf(uint32_t s) { return static_cast<uint16_t>(s >= 2048 ? s - 2048 : 2048 - s); }

}  // namespace

template <typename T>
AirspyDemodulator::AlignedArray<T> AirspyDemodulator::alignedArray(size_t count) {
  // aligned_alloc wants a size that is a multiple of the alignment; the vector code may read a
  // group past the end, so there is always room for one more.
  const size_t bytes = (count * sizeof(T) + 32 + 31) / 32 * 32;
  void* memory = std::aligned_alloc(32, bytes);
  if (!memory) throw std::bad_alloc();
  std::memset(memory, 0, bytes);
  return AlignedArray<T>(static_cast<T*>(memory));
}

AirspyDemodulator::AirspyDemodulator(const AirspyDemodSettings& settings, AirspyFrameCallback frameCallback,
                                     void* callbackUserData)
    : p(std::clamp<uint32_t>(settings.phaseCount, 1, maxPhases)),
      decimation(settings.decimation == 0 ? 1 : settings.decimation),
      fecBits(std::min<uint32_t>(settings.fecBits, 2)),
      packing(settings.packing),
      lifetime(static_cast<float>(settings.addressLifetime)),
      callback(frameCallback),
      userData(callbackUserData),
      pieces(2 * p),
      pool(std::min(settings.workerCount, std::clamp<uint32_t>(settings.phaseCount, 1, maxPhases))) {
  prepareRepairTables();
  rows.resize(p);
  for (uint32_t r = 0; r < p; ++r) {
    for (auto& history : rows[r].history) history = alignedArray<uint32_t>(historyBins);
    // Row r starts as if r magnitudes of 0 had come before the stream: its first bin is short.
    rows[r].carry = r;
    if (r % decimation == 0) demodulatedRows.push_back(r);
  }
  const uint32_t workers = pool.threadCount();
  tasks.resize(workers >= 2 ? workers : 1);
  for (DemodTask& task : tasks) {
    task.owner = this;
    task.bins = alignedArray<uint32_t>(historyBins + chunkBins);
    task.narrowBins = alignedArray<uint16_t>(historyBins + chunkBins);
    if (workers >= 2) task.leadCopy = alignedArray<uint16_t>(windowBins * p + 8);
    task.candidates.reserve(64);
  }
  taskList.resize(tasks.size());
  cache.addresses = alignedArray<uint32_t>(cacheSlots);
  cache.ages = alignedArray<float>(cacheSlots);
  ordered.reserve(256);
  output.reserve(256);
}

AirspyDemodulator::~AirspyDemodulator() { pool.shutdown(); }

void AirspyDemodulator::addDroppedSamples(uint64_t count) { clock += count; }

bool AirspyDemodulator::addressCached(uint32_t address) const { return address != 0 && cache.find(address) >= 0; }

void AirspyDemodulator::processBlock(void* samples, uint32_t count) {
  if (packing) count &= ~7u;  // the layout holds whole groups of 8 only
  if (!samples || count == 0) return;
  planBlock(samples, count);
  if (tasks.size() >= 2) {
    for (size_t i = 0; i < tasks.size(); ++i) taskList[i] = {&AirspyDemodulator::demodTask, &tasks[i]};
    pool.runTasks(taskList.data(), static_cast<uint32_t>(tasks.size()));
  } else {
    demodTask(&tasks[0]);
  }
  finishRows(samples, count);
  decideAndOutput(count);
  clock += count;
}

// Where each row's bins fall, and the slices: worker-count slices of a multiple of 8 samples,
// the last one taking the rest.
void AirspyDemodulator::planBlock(void* samples, uint32_t count) {
  for (const uint32_t r : demodulatedRows) {
    Row& row = rows[r];
    row.need = p - row.carry;
    row.total = count < row.need ? 0 : (count - row.need) / p + 1;
  }
  const uint32_t slices = static_cast<uint32_t>(tasks.size());
  const uint32_t slice = slices == 1 ? count : count / slices / 8 * 8;
  const uint32_t lead = windowBins * p;
  for (uint32_t i = 0; i < slices; ++i) {
    DemodTask& task = tasks[i];
    task.start = i * slice;
    task.end = i + 1 == slices ? count : task.start + slice;
    task.leadStart = task.start > lead ? (task.start - lead) & ~7u : 0;
    if (packing) {
      task.packedSource = static_cast<const uint32_t*>(samples);
      task.magnitudes = nullptr;
    } else {
      task.magnitudes = static_cast<uint16_t*>(samples);
      if (task.start > task.leadStart) {
        std::memcpy(task.leadCopy.get(), task.magnitudes + task.leadStart,
                    (task.start - task.leadStart) * sizeof(uint16_t));
      }
    }
    const uint32_t sums = task.end - task.leadStart + 1;
    if (sums > task.sumsCapacity) {
      task.sums = alignedArray<uint32_t>(sums);
      task.sumsCapacity = sums;
    }
  }
}

uint16_t AirspyDemodulator::magnitudeAt(const void* samples, uint32_t index) const {
  if (!packing) return static_cast<const uint16_t*>(samples)[index];  // rectified by now
  const uint32_t* w = static_cast<const uint32_t*>(samples) + index / 8 * 3;
  const uint32_t bit = index % 8 * 12;  // the sample's first bit, counted from w[0]'s top
  const uint64_t pair = (uint64_t{w[bit / 32]} << 32) | (bit / 32 < 2 ? w[bit / 32 + 1] : 0);
  return magnitudeOf(static_cast<uint32_t>(pair >> (52 - bit % 32)) & 0xFFF);
}

// Each row's carry into the next block: the magnitudes after its last complete bin.
void AirspyDemodulator::finishRows(const void* samples, uint32_t count) {
  for (const uint32_t r : demodulatedRows) {
    Row& row = rows[r];
    uint32_t from = 0;
    if (row.total == 0) {
      row.carry += count;
    } else {
      row.carry = (count - row.need) % p;
      row.partial = 0;
      from = count - row.carry;
      row.current ^= 1;  // the task with the row's last bin left the new history
    }
    for (uint32_t i = from; i < count; ++i) row.partial += magnitudeAt(samples, i);
  }
}

// The magnitudes of the task's slice (and of its lead-in), then every demodulated row over it.
void AirspyDemodulator::demodTask(void* argument) {
  DemodTask& task = *static_cast<DemodTask*>(argument);
  AirspyDemodulator& owner = *task.owner;
  task.candidates.clear();
  if (task.end == task.start) return;
  uint32_t* const sums = task.sums.get();
  sums[0] = 0;
  if (owner.packing) {
    unpackTask(task, sums);
  } else {
    magnitudeTask(task, sums);
  }
  for (const uint32_t row : owner.demodulatedRows) {
    if (owner.p == 6) {
      owner.demodulateRow6(task, row);
    } else if (owner.p == 10) {
      owner.demodulateRow10(task, row);
    } else {
      owner.demodulateRow(task, row);
    }
  }
}

void AirspyDemodulator::magnitudeTask(DemodTask& task, uint32_t* sums) {
  const uint32_t lead = task.start - task.leadStart;
  const uint32_t running = rectify(task.leadCopy.get(), sums + 1, lead, 0);
  rectify(task.magnitudes + task.start, sums + 1 + lead, task.end - task.start, running);
}

void AirspyDemodulator::unpackTask(DemodTask& task, uint32_t* sums) {
  const uint32_t lead = task.start - task.leadStart;
  const uint32_t running =
      unpackMagnitudes(task.packedSource + task.leadStart / 8 * 3, sums + 1, lead, 0);
  unpackMagnitudes(task.packedSource + task.start / 8 * 3, sums + 1 + lead, task.end - task.start, running);
}

namespace {

// Running sums of eight magnitudes, continuing from `carry` (every lane holds the sum so far).
inline void addSums(U16x8 magnitudes, U32x4& carry, uint32_t* out) {
  using U32x8 = uint32_t __attribute__((vector_size(32)));
  const U32x8 wide = __builtin_convertvector(magnitudes, U32x8);
  const U32x4 zero = {0, 0, 0, 0};
  U32x4 halves[2];
  std::memcpy(halves, &wide, sizeof halves);
  for (U32x4& x : halves) {
    x += __builtin_shufflevector(zero, x, 0, 4, 5, 6);
    x += __builtin_shufflevector(zero, x, 0, 1, 4, 5);
    x += carry;
    carry = __builtin_shufflevector(x, x, 3, 3, 3, 3);
  }
  std::memcpy(out, halves, sizeof halves);
}

}  // namespace

// |s - 2048| of every 16-bit word, exact for any value; returns the running sum.
uint32_t AirspyDemodulator::rectify(uint16_t* samples, uint32_t* sums, uint32_t count, uint32_t running) {
  const U16x8 middle = {2048, 2048, 2048, 2048, 2048, 2048, 2048, 2048};
  U32x4 carry = {running, running, running, running};
  uint32_t i = 0;
  for (; i + 8 <= count; i += 8) {
    U16x8 v;
    std::memcpy(&v, samples + i, sizeof v);
    const U16x8 above = v - middle, below = middle - v;
    v = v >= middle ? above : below;
    std::memcpy(samples + i, &v, sizeof v);
    addSums(v, carry, sums + i);
  }
  running = carry[0];
  for (; i < count; ++i) {
    samples[i] = magnitudeOf(samples[i]);
    running += samples[i];
    sums[i] = running;
  }
  return running;
}

// Eight 12-bit samples in three words, most significant bits first. Only the sums are kept:
// the packed block itself stays as it is, and the rows need nothing else.
uint32_t AirspyDemodulator::unpackMagnitudes(const uint32_t* packed, uint32_t* sums, uint32_t count,
                                             uint32_t running) {
  U32x4 carry = {running, running, running, running};
  for (uint32_t i = 0; i + 8 <= count; i += 8, packed += 3) {
    const uint32_t w0 = packed[0], w1 = packed[1], w2 = packed[2];
    const U16x8 v = {magnitudeOf(w0 >> 20),
                     magnitudeOf((w0 >> 8) & 0xFFF),
                     magnitudeOf(((w0 & 0xFF) << 4) | (w1 >> 28)),
                     magnitudeOf((w1 >> 16) & 0xFFF),
                     magnitudeOf((w1 >> 4) & 0xFFF),
                     magnitudeOf(((w1 & 0xF) << 8) | (w2 >> 24)),
                     magnitudeOf((w2 >> 12) & 0xFFF),
                     magnitudeOf(w2 & 0xFFF)};
    addSums(v, carry, sums + i);
  }
  return carry[0];
}

int32_t AirspyDemodulator::IcaoCache::find(uint32_t address) const {
  const uint32_t* slots = addresses.get();
  const U32x4 key = {address, address, address, address};
  for (uint32_t i = 0; i < cacheSlots; i += 16) {
    U32x4 a, b, c, d;
    std::memcpy(&a, slots + i, sizeof a);
    std::memcpy(&b, slots + i + 4, sizeof b);
    std::memcpy(&c, slots + i + 8, sizeof c);
    std::memcpy(&d, slots + i + 12, sizeof d);
    const U32x4 hit = (U32x4)((a == key) | (b == key) | (c == key) | (d == key));
    uint64_t halves[2];
    std::memcpy(halves, &hit, sizeof halves);
    if ((halves[0] | halves[1]) == 0) continue;
    for (uint32_t j = i; j < i + 16; ++j) {
      if (slots[j] == address) return static_cast<int32_t>(j);
    }
  }
  return -1;
}

// A frame that confirms its address: the slot's age starts again, or the address takes the
// first free slot, or, with none free, the oldest (the first of equal ages).
void AirspyDemodulator::IcaoCache::confirm(uint32_t address) {
  int32_t slot = find(address);
  if (slot < 0) slot = find(0);
  if (slot < 0) {
    float oldest = 0.0f;
    slot = 0;
    for (uint32_t i = 0; i < cacheSlots; ++i) {
      if (ages[i] > oldest) {
        oldest = ages[i];
        slot = static_cast<int32_t>(i);
      }
    }
  }
  addresses[slot] = address;
  ages[slot] = 0.0f;
}

void AirspyDemodulator::IcaoCache::age(float seconds, float limit) {
  for (uint32_t i = 0; i < cacheSlots; ++i) {
    if (addresses[i] == 0) continue;
    ages[i] += seconds;
    if (ages[i] > limit) addresses[i] = 0;  // the age stays; the next address resets it
  }
}

// The rows found candidates independently; the cache is consulted here, in time order over all
// rows, so that a frame is confirmed only by addresses known before its own time whatever the
// number of workers. Nothing else touches the cache or the output then, so neither needs a lock.
// A DF 11 reply read at a neighbouring alignment may differ in the interrogator bits alone (the
// low 7 bits of its parity, which its check leaves out): still the same reply.
bool AirspyDemodulator::sameReply(const DemodFrame& next, const DemodFrame& best) {
  if (std::memcmp(next.bytes, best.bytes, next.length) == 0) return true;
  return next.length == 7 && best.length == 7 && next.bytes[0] >> 3 == 11 && best.bytes[0] >> 3 == 11 &&
         std::memcmp(next.bytes, best.bytes, 6) == 0 && ((next.bytes[6] ^ best.bytes[6]) & 0x80) == 0;
}

void AirspyDemodulator::report(const DemodFrame& frame) {
  if (callback) {
    callback(frame.bytes, frame.length, static_cast<uint16_t>(frame.level), frame.time, frame.crcClean != 0,
             userData);
  }
}

// The held group is one group: every node joined it when it was held.
void AirspyDemodulator::flush() {
  if (held.empty()) return;
  size_t best = 0;
  for (size_t i = 1; i < held.size(); ++i) {
    if (held[i].contrast > held[best].contrast) best = i;
  }
  report(held[best]);
  held.clear();
}

void AirspyDemodulator::decideAndOutput(uint32_t count) {
  ordered.clear();
  for (const DemodTask& task : tasks) {
    for (const Candidate& candidate : task.candidates) ordered.push_back(&candidate);
  }
  // Times are distinct: the rows' bins end at different samples.
  std::sort(ordered.begin(), ordered.end(), [](const Candidate* a, const Candidate* b) { return a->time < b->time; });

  output.clear();
  for (const Candidate* candidate : ordered) {
    const uint32_t strength = candidate->contrast / (8u * candidate->length);
    const bool checked = candidate->checked != 0;
    if (pieces.isPiece(candidate->time, candidate->sliced, candidate->bytes, candidate->length, checked, strength))
      continue;
    if (candidate->kind == confirmsAddress) {
      cache.confirm(candidate->key);
    } else {
      const int32_t slot = cache.find(candidate->key);
      if (slot < 0) continue;
      cache.ages[slot] = 0.0f;
    }
    pieces.add(candidate->time, candidate->sliced, candidate->bytes, candidate->length, checked, strength);
    DemodFrame& frame = output.emplace_back();
    frame.time = candidate->time;
    frame.level = candidate->level;
    frame.contrast = candidate->contrast;
    frame.crcClean = candidate->crcClean;
    frame.length = candidate->length;
    std::memcpy(frame.bytes, candidate->bytes, sizeof frame.bytes);
  }

  cache.age(static_cast<float>(count) / static_cast<float>(p * 2000000u), lifetime);

  // The same reply seen in neighbouring rows or positions within p samples is one frame; the
  // strongest detection stands for it (the earlier of equal strengths). Strength is the level
  // before it saturates: strong replies all reach the top level, and the earliest of them
  // would stand, stamped up to half a bin early. A group that detections of
  // the next block could still join waits for that block.
  if (!held.empty()) output.insert(output.begin(), held.begin(), held.end());
  held.clear();
  const uint64_t blockEnd = clock + count;
  for (size_t i = 0; i < output.size();) {
    size_t best = i;
    const uint64_t bound = output[i].time + p;
    size_t j = i + 1;
    for (; j < output.size(); ++j) {
      const DemodFrame& next = output[j];
      if (next.time > bound || !sameReply(next, output[best])) break;
      if (next.contrast > output[best].contrast) best = j;
    }
    if (j == output.size() && bound > blockEnd) {
      held.assign(output.begin() + static_cast<std::ptrdiff_t>(i), output.end());
      break;
    }
    report(output[best]);
    i = j;
  }
  output.clear();
}
