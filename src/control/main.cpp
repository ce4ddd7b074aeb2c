#include "control/driver.h"

int main(int argc, char** argv) { return runUpdate(argc, argv); }
