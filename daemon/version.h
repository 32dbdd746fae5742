// The program version, as `zentroped -v` prints it. The top CMakeLists.txt
// takes it from here as the project version, which names the package.
#ifndef ZENTROPED_VERSION_H
#define ZENTROPED_VERSION_H

#define ZT_VERSION "0.5.6.4"

#endif
