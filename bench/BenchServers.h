// The servers the benchmarks measure: boards of sockets all filled with 16 GiB modules, Advanced
// ECC selected and running; most benchmarks take 4 boards x 24 sockets.
#pragma once

#include <string>

namespace qzbench {

inline constexpr int kBoards = 4;
inline constexpr int kSockets = 24;

// `boards` boards of `sockets` sockets each, every socket filled.
inline std::string ServerOf(int boards, int sockets) {
  std::string text;
  for (int board = 1; board <= boards; ++board) {
    std::string modules;
    for (int socket = 1; socket <= sockets; ++socket) {
      modules += std::string(modules.empty() ? "" : ",") + R"({"socket": )" + std::to_string(socket) +
                 R"(, "sizeMiB": 16384, "speedMHz": 2933, "partNumber": "VX16G-R2933-D4"})";
    }
    text += std::string(text.empty() ? "" : ",") + R"({"index": )" + std::to_string(board) + R"(, "sockets": )" +
            std::to_string(sockets) + R"(, "modules": [)" + modules + "]}";
  }
  return R"({"name": ")" + std::to_string(boards) + "x" + std::to_string(sockets) +
         R"(", "driver": {"configuration": {"advancedEcc": {"offered": true, "selected": true}},
            "protection": {"state": 4, "operatingSpeed": 2933}, "boards": [)" +
         text + "]}}";
}

inline std::string ServerOf4x24() { return ServerOf(kBoards, kSockets); }

}  // namespace qzbench
