// Several threads emitting long events at once: each line must come out whole. Test builds only.
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "events.h"

int main(int argc, char** argv) {
  const int threads = argc > 1 ? std::atoi(argv[1]) : 4;
  const int perThread = argc > 2 ? std::atoi(argv[2]) : 100;
  const size_t length = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 20000;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([t, perThread, length] {
      // Longer than a pipe's atomic write, so a line leaves in several writes.
      const std::string text(length, static_cast<char>('a' + t));
      for (int i = 0; i < perThread; ++i) {
        voxlet::emit(voxlet::Event{{"t", "text"}, {"text", text}, {"thread", t}, {"n", i}});
      }
    });
  }
  for (auto& worker : workers) worker.join();
  voxlet::exitNow(0);
}
