// Writes the LZSS target's corpus into DIR: a table and zeros encoded with
// several sizes, and the table alone for the round trip.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "mdfwriter/container_writer.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
    return 2;
  }
  const std::string table =
      "TimestampEpoch;BusChannel;ID;IDE;DLC;DataLength;Dir;EDL;BRS;ESI;RTR;"
      "DataBytes\n"
      "1700000001.500000;1;123;0;8;8;0;0;0;0;0;1122334455667788\n"
      "1700000001.500100;1;123;0;8;8;0;0;0;0;0;1122334455667788\n";
  const std::vector<uint8_t> text(table.begin(), table.end()), zeros(3000, 0);
  const int sizes[][2] = {{4, 3}, {8, 4}, {11, 4}, {15, 14}};
  for (int n = 0; n < 4; ++n) {
    const int w = sizes[n][0], l = sizes[n][1];
    // The target's parameter bytes (see fuzz_lzss.cc), then the body.
    const struct {
      const char* name;
      uint8_t mode;
      std::vector<uint8_t> body;
    } seeds[] = {{"text", 0x10, quarrow::mdfw::lzss_encode(text, w, l)},
                 {"zeros", 0x01, quarrow::mdfw::lzss_encode(zeros, w, l)},
                 {"roundtrip", 0x80, text}};
    for (const auto& seed : seeds) {
      std::vector<uint8_t> bytes{static_cast<uint8_t>(w - 4), static_cast<uint8_t>(l - 3),
                                 seed.mode, static_cast<uint8_t>(n * 67)};
      bytes.insert(bytes.end(), seed.body.begin(), seed.body.end());
      const std::string path = std::string(argv[1]) + "/" + seed.name + "_" + std::to_string(n);
      FILE* f = std::fopen(path.c_str(), "wb");
      const bool ok = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
      if (!f || std::fclose(f) != 0 || !ok) {
        std::fprintf(stderr, "fuzz_seeds: could not write %s\n", path.c_str());
        return 1;
      }
    }
  }
  return 0;
}
