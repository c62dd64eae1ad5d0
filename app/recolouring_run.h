// The program's main procedure: one pass over the client's saved sessions.
#pragma once

/// Lists the saved sessions, prints each name and writes the colour scheme
/// into each session's key, printing a line for every value it cannot write.
void RecolouringRun();
