// Whether this process runs elevated by user account control: with the full token of an
// administrator whose other programs run with a limited one. Then what those programs can
// set (the environment it inherits, the user's registry values) must not steer what it
// does with its rights. Where every program of the user has the full token anyway (user
// account control off, a service), there is no such boundary. Shared by the library and
// the service tool.
#ifndef TEVRO_COMMON_ELEVATION_H
#define TEVRO_COMMON_ELEVATION_H

bool RunsElevatedByUac();

#endif  // TEVRO_COMMON_ELEVATION_H
