// The text of a transfer's progress line on the console.
#pragma once

#include <string>

#include "peer/transfer_record.h"

namespace brindle {

// The progress line of a download:
// "[#####.....]  45.00%  1234 of 5678  567.89ks  0:07 left  Downloading..."
// The time left is there while bytes move ("-:-- left" before the rate is known).
std::string ProgressLine(const TransferRow& row);

// `line`, padded with spaces over what is left of a longer line drawn before it.
std::string OverDrawn(const std::string& line, const std::string& before);

}  // namespace brindle
