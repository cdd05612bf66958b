#pragma once
// Silhouette pictures: 24- and 32-bit BMP files re-encoded as PNG for the web page.

#include <optional>
#include <string>

// The PNG bytes of a 24- or 32-bit uncompressed BMP file; nothing when the file is not one that
// converts (unreadable, too short, another depth, pixel rows missing) or the encoder fails, in
// which case the caller sends the file unchanged. Encoder failures are logged.
std::optional<std::string> convertBmpToPng(const std::string& path);
