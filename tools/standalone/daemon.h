// tav_standalone's command line, FUSE session and event loop.
//
// usage: tav_standalone -i <ioengine> -p <path> [options] mountpoint
//
// Returns the exit status: 0 after help, version, or a mount served until
// unmount or a stop signal; 1 when the arguments, the session, the mount or
// the instance's start failed.
#ifndef TAV_STANDALONE_DAEMON_H
#define TAV_STANDALONE_DAEMON_H

int tav_standalone_main(int argc, char **argv);

#endif
