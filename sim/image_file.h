// Writing a received firmware image to disk for the vx7r-sim front end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vx7r {

// Replaces `path` with `image` atomically: a temporary file in the same folder, then rename().
// A reader never sees a half-written image. False with *error set on failure (nothing is left
// behind then).
bool SaveImage(const std::string& path, const std::vector<uint8_t>& image, std::string* error);

}  // namespace vx7r
