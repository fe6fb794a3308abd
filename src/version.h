/* The library's file version: the one place it is written. The version resource, the
 * trace, the service tool and the release archive's name take it from here. */
#ifndef TEVRO_VERSION_H
#define TEVRO_VERSION_H

#define TEVRO_FILE_VERSION 1, 4, 0, 0
#define TEVRO_FILE_VERSION_TEXT "1.4.0.0"

#endif /* TEVRO_VERSION_H */
