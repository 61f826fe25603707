// Standard input, output and error held open whatever the parent left. A launcher may start qz with one of
// them closed ("qz 2>&-"); the next descriptor qz opened would then take its number, and the boot trace
// would go into the X connection, or `print` into a file of the user's.
#pragma once

// Opens the null device on each of descriptors 0-2 that is closed (inherited by the programs qz starts, as
// standard descriptors are); in a root without one, an empty pipe. Call first thing at start, before anything
// opens a descriptor.
void occupyClosedStandardDescriptors();

// True when descriptor fd (0-2) was closed as qz started: whatever holds its number now stands in for none.
bool startedWithoutStandardDescriptor(int fd);
