#pragma once

// Makes a test process that dies on a signal say which test it was running (or whether it
// was starting up or tearing down) and print its stack before it dies. ctest shows only the
// output of a failed test, so a rare crash carries its own diagnosis into the log.
void installCrashReport();
