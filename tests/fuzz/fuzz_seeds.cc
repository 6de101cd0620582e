// Writes the LZSS target's corpus into DIR: a table and zeros encoded with
// several sizes, and the table alone for the round trip.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "mdfwriter/container_writer.h"

int main(int argc, char** argv) {
  const std::string table =
      "TimestampEpoch;BusChannel;ID;IDE;DLC;DataLength;Dir;EDL;BRS;ESI;RTR;DataBytes\n"
      "1700000001.500000;1;123;0;8;8;0;0;0;0;0;1122334455667788\n"
      "1700000001.500100;1;123;0;8;8;0;0;0;0;0;1122334455667788\n";
  const std::vector<uint8_t> text(table.begin(), table.end()), zeros(3000, 0);
  const int sizes[][2] = {{4, 3}, {8, 4}, {11, 4}, {15, 14}};
  for (int n = 0; n < 4 && argc == 2; ++n) {
    const int w = sizes[n][0], l = sizes[n][1];
    // The target's parameter bytes (see fuzz_lzss.cc), then the body.
    const std::pair<uint8_t, std::vector<uint8_t>> seeds[] = {
        {0x10, quarrow::mdfw::lzss_encode(text, w, l)},
        {0x01, quarrow::mdfw::lzss_encode(zeros, w, l)},
        {0x80, text}};
    for (const auto& [mode, body] : seeds) {
      std::vector<uint8_t> bytes{static_cast<uint8_t>(w - 4), static_cast<uint8_t>(l - 3), mode,
                                 static_cast<uint8_t>(n * 67)};
      bytes.insert(bytes.end(), body.begin(), body.end());
      const std::string path =
          std::string(argv[1]) + "/" + std::to_string(mode) + "_" + std::to_string(n);
      FILE* f = std::fopen(path.c_str(), "wb");
      const bool ok = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
      if (!f || std::fclose(f) != 0 || !ok) return std::perror(path.c_str()), 1;
    }
  }
  return argc == 2 ? 0 : 2;
}
