// Gives the shared precompiled header of the tests a target to be built for.
