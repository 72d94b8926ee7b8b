#include "runtime/runtime.h"

int main(int argc, char** argv) { return halvoran_main(argc, argv); }
