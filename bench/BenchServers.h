// The server the benchmarks measure: 4 boards x 24 sockets, every socket filled with a 16 GiB
// module, Advanced ECC selected and running.
#pragma once

#include <string>

namespace qzbench {

inline constexpr int kBoards = 4;
inline constexpr int kSockets = 24;

inline std::string ServerOf4x24() {
  std::string boards;
  for (int board = 1; board <= kBoards; ++board) {
    std::string modules;
    for (int socket = 1; socket <= kSockets; ++socket) {
      modules += std::string(modules.empty() ? "" : ",") + R"({"socket": )" + std::to_string(socket) +
                 R"(, "sizeMiB": 16384, "speedMHz": 2933, "partNumber": "VX16G-R2933-D4"})";
    }
    boards += std::string(boards.empty() ? "" : ",") + R"({"index": )" + std::to_string(board) + R"(, "sockets": 24, "modules": [)" +
              modules + "]}";
  }
  return R"({"name": "4x24", "driver": {"configuration": {"advancedEcc": {"offered": true, "selected": true}},
            "protection": {"state": 4, "operatingSpeed": 2933}, "boards": [)" +
         boards + "]}}";
}

}  // namespace qzbench
