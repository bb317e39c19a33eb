#include "app/entry.h"

int main(int argc, char** argv) { return quillmark_main(argc, argv); }
