#pragma once
// The trail of positions the map draws behind an aircraft, oldest first. It is bounded: an
// aircraft parked for a day with a jittering position would otherwise grow it without end, so
// past kTrailCapacity points the oldest one makes room for the newest.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

struct TrailPoint {
  float latitude = 0;
  float longitude = 0;
  float altitude = 0;  // feet; kTrailGroundAltitude for a point on the ground
  bool gap = false;    // follows more than 15 s without a position
  uint32_t serial = 0; // the table's update serial when the point was added
};

constexpr float kTrailGroundAltitude = -10000.0f;

class Trail {
 public:
  static constexpr size_t kTrailCapacity = 720;

  size_t size() const { return points.size(); }
  bool empty() const { return points.empty(); }
  // 0 is the oldest point.
  const TrailPoint& operator[](size_t i) const { return points[(first + i) % points.size()]; }
  const TrailPoint& back() const { return (*this)[points.size() - 1]; }

  void push(const TrailPoint& point) {
    if (points.size() < kTrailCapacity) {
      // Grow by doubling but never past the bound, so a full trail holds no spare room.
      if (points.size() == points.capacity()) {
        points.reserve(std::min(kTrailCapacity, std::max<size_t>(8, 2 * points.capacity())));
      }
      points.push_back(point);  // first stays 0 until the trail is full
      return;
    }
    points[first] = point;
    first = (first + 1) % kTrailCapacity;
  }

  // Deletes every point and gives the memory back.
  void clear() {
    std::vector<TrailPoint>().swap(points);
    first = 0;
  }

 private:
  std::vector<TrailPoint> points;
  size_t first = 0;  // index of the oldest point once the trail is full
};
