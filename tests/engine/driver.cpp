// Placeholder, to be replaced by the engine's C++ test driver: it only lets the
// engine_driver target and its ctest entry build and run. It tests nothing.
int main() { return 0; }
