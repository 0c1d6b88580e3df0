// tav_upgrade: see upgrade_cli.h.
#include "upgrade_cli.h"

int main(int argc, char **argv) {
    return tav_upgrade_cli_main(argc, argv);
}
