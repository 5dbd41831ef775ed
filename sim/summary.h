// What the simulator programs report when they end: the summary of what the camera saw, on standard
// output, and the camera's flash written to a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/camera_model.h"

namespace sim {

// Writes the flash through a temporary file and a rename, so the file is never half-written.
bool WriteFlash(const std::string& path, const std::vector<uint8_t>& flash);
// The summary on standard output: one "key: value" a line, then one line per command.
void PrintSummary(const CameraModel& model);

}  // namespace sim
