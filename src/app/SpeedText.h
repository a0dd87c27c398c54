#pragma once

#include <string>

namespace vorn {

// The speed shown while a run is active: for Ftp->Local (mode 1) the mean of the walks' speed
// and the locally measured one when both are non-zero, else whichever is; for Ftp->Ftp
// (mode 2) the walks' speed; 0 otherwise.
[[nodiscard]] double ChooseDisplaySpeed(int runMode, float transferSpeed, float localSpeed);

// "Current Transmission Speed: " followed by the speed in B/S, KB/S or MB/S.
[[nodiscard]] std::string FormatSpeedText(double bytesPerSecond);

} // namespace vorn
