// Writes the starting corpora of the LZSS, password and path targets into
// <dir>/lzss, <dir>/password and <dir>/paths (the folders must exist). The
// conversion target starts from logs written by mklog instead.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "mdfwriter/container_writer.h"

namespace {

using quarrow::mdfw::lzss_encode;
using namespace std::string_literals;

bool write_seed(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

std::vector<uint8_t> bytes_of(const std::string& s) {
  return {s.begin(), s.end()};
}

// The target's four parameter bytes: window and lookahead choice, mode and
// chunking (see fuzz_lzss.cc), then the body.
std::vector<uint8_t> lzss_seed(int window_sz2, int lookahead_sz2, uint8_t mode, uint8_t chunking,
                               const std::vector<uint8_t>& body) {
  std::vector<uint8_t> seed{static_cast<uint8_t>(window_sz2 - 4),
                            static_cast<uint8_t>(lookahead_sz2 - 3), mode, chunking};
  seed.insert(seed.end(), body.begin(), body.end());
  return seed;
}

bool write_lzss(const std::string& dir) {
  std::vector<uint8_t> text = bytes_of(
      "TimestampEpoch;BusChannel;ID;IDE;DLC;DataLength;Dir;EDL;BRS;ESI;RTR;DataBytes\n"
      "1700000001.500000;1;123;0;8;8;0;0;0;0;0;1122334455667788\n"
      "1700000001.500100;1;123;0;8;8;0;0;0;0;0;1122334455667788\n");
  std::vector<uint8_t> zeros(3000, 0);
  struct Params {
    int w, l;
  };
  const Params params[] = {{4, 3}, {8, 4}, {11, 4}, {15, 14}};
  int n = 0;
  for (const Params& p : params) {
    uint8_t chunking = static_cast<uint8_t>(n * 67);
    if (!write_seed(dir + "/text_" + std::to_string(n),
                    lzss_seed(p.w, p.l, 0x10, chunking, lzss_encode(text, p.w, p.l))) ||
        !write_seed(dir + "/zeros_" + std::to_string(n),
                    lzss_seed(p.w, p.l, 0x01, chunking, lzss_encode(zeros, p.w, p.l))) ||
        !write_seed(dir + "/roundtrip_" + std::to_string(n),
                    lzss_seed(p.w, p.l, 0x80, chunking, text))) {
      return false;
    }
    ++n;
  }
  return true;
}

bool write_texts(const std::string& dir, const std::vector<std::string>& texts) {
  for (size_t i = 0; i < texts.size(); ++i) {
    if (!write_seed(dir + "/" + std::to_string(i), bytes_of(texts[i]))) return false;
  }
  return true;
}

const std::vector<std::string> kPasswordFiles = {
    "{\n  \"1A2B3C4D\": \"password of device 1A2B3C4D\",\n  \"default\": \"fallback\"\n}\n",
    "{\"42\":\"x\",\"42\":\"y\",\"deadBEEF\":\"\",\"other\":\"skipped\"}",
    "{ \"default\" : \"with \\\\ backslash\" ,\r\n\t\"0\": \"line\nbreak\" }",
};

// NUL separates the inputs of one run; the first one is also normalised.
const std::vector<std::string> kPathLists = {
    "/data/logs/\0/data/x.MF4\0/data/y.mfc"s,
    "C:\\Logs\\\\00000001.MF4\0C:\\Logs\\sub\\"s,
    "logs\0./logs/a.mf4.bak\0/\0//\0D:"s,
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  if (!write_lzss(dir + "/lzss") || !write_texts(dir + "/password", kPasswordFiles) ||
      !write_texts(dir + "/paths", kPathLists)) {
    std::fprintf(stderr, "fuzz_seeds: could not write the corpora below %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
