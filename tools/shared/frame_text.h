// Link frames in words, for the central tool's trace and the station tool's
// transcript: a request's name and what a request or response body says.
#pragma once

#include <cstdint>
#include <string>

#include "sim/central_frame.h"

namespace tools {

std::string RequestName(uint8_t code);
std::string DescribeBody(const sim::Bytes& body, bool request);

}  // namespace tools
