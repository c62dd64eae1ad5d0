// The floor program, compiled against the platform stand-in. It makes the
// same stand-in calls as a run of the tool over the same registry, so what
// it allocates is the stand-in's share of a run.
#define main FloorMain
#include "floor.c"
