// Downloading an executable into the active drive section by section, and the drive's checksum
// of a memory range.
#pragma once

#include <zorcomm/zorcomm.h>

#include <cstdint>

namespace zorcomm {

// The largest SPI memory a drive can have, in words.
constexpr uint16_t kMaxSpiMemorySize = 0x5000;

// Loads the executable `fileName` into the active drive; every loaded section is checked
// against the drive's checksum of it. The outputs are optional: the entry point, and the lowest
// start and highest end address of the loaded sections (0xFFFF and 0 when none was loaded).
bool CoffDownload(const char *fileName, ProgressCallback callback, uint32_t userValue,
                  uint16_t *entryPoint, uint16_t *startAddress, uint16_t *endAddress,
                  uint16_t spiMemorySize);

// Asks the active drive for the wrapping 16-bit sum of its words from `startAddress` to
// `endAddress` inclusive in memory `memoryType`.
bool VerifyChecksum(uint16_t startAddress, uint16_t endAddress, uint8_t memoryType,
                    uint16_t &result);

} // namespace zorcomm
