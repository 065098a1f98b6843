#include "driver/start.h"

// Arguments are ignored: the run is always the same.
int main() { Start(); }
