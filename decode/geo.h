#pragma once
// Distances and bearings on a spherical Earth; angles in degrees.

// Haversine distance in metres.
double greatCircleDistance(double latitude1, double longitude1, double latitude2, double longitude2);
// Initial bearing from point 1 to point 2, degrees in [0, 360).
double initialBearing(double latitude1, double longitude1, double latitude2, double longitude2);
