#include "app/entry.h"
#include "platform/platform.h"

namespace {
// Before the static objects of the program are built: an early signal stops the run as a later
// one does (quillmark_main installs the handling again, which changes nothing).
__attribute__((constructor(101))) void take_the_signals_first() {
  platform_install_interrupt_handler();
}
}  // namespace

int main(int argc, char** argv) { return quillmark_main(argc, argv); }
