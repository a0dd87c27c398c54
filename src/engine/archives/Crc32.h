#pragma once

// The CRC-32 lives in common/ now, where the FTP client's checksums use it too.
#include "common/Crc32.h"
