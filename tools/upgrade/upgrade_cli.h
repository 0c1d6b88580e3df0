// The command line of tav_upgrade: reports the on-disk format version of an
// instance (get_version), upgrades a version-1 instance in place after
// backing its zone map up to a file (upgrade), or writes such a backup back
// and sets version 1 (restore).
//
//   tav_upgrade -i <ioengine> -p <path> -a <upgrade|restore|get_version> [-b <backup>] [-d]
//
// The actions are the library's (tav_format.h).  Upgrade and restore hold
// the device's lock file (the one a writable instance takes) until they
// end, so neither runs beside a writable instance or another tool on the
// same device.  Progress of long steps is printed on standard error.
//
// The result is the process's exit status: 0, or the negative errno of the
// failure modulo 256 (for example 245 for -EAGAIN, 242 for -EFAULT, 234 for
// -EINVAL, 255 for a device the upgrade refuses).
#ifndef TAV_TOOLS_UPGRADE_CLI_H
#define TAV_TOOLS_UPGRADE_CLI_H

/* Runs the program on the calling thread with libev's default loop and
 * returns its result (the value main returns). */
int tav_upgrade_cli_main(int argc, char **argv);

#endif
