#include "sim/world.h"

namespace sim {

World& world() {
  static World w;
  return w;
}

void reset_world() { world() = World{}; }

Port& add_port(const std::u16string& path) {
  Port p;
  p.path = path;
  world().ports.push_back(std::move(p));
  return world().ports.back();
}

Adapter& add_adapter(int port) {
  Adapter a;
  a.port = port;
  world().adapters.push_back(std::move(a));
  return world().adapters.back();
}

Port* find_port(const std::u16string& path) {
  for (auto& p : world().ports)
    if (p.path == path) return &p;
  return nullptr;
}

}  // namespace sim
