// tav_standalone: see daemon.h.
#include "daemon.h"

int main(int argc, char **argv) {
    return tav_standalone_main(argc, argv);
}
