#include "host/host.h"

int main(int argc, char** argv) { zt::runHelper(argc, argv); }
