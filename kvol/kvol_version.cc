// Version string of the volume manager library.
extern "C" __attribute__((visibility("default"))) const char *kvol_version(void) { return "1"; }
