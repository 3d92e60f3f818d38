// Standard streams closed by whoever started us.
#pragma once

// Points each closed one of descriptors 0, 1 and 2 at /dev/null, before the next file opened (a
// display connection, a log, a socket) takes its number. Returns the closed ones, bit fd set.
int reopenClosedStandardStreams();
