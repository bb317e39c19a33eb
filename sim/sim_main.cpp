// quillmark-sim: the tool over the simulated world.
#include "app/entry.h"
#include "sim/world.h"

int main(int argc, char** argv) {
  sim::world().real_sleep = true;
  return quillmark_main(argc, argv);
}
