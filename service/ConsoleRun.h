// The console run of SentrelSrv.exe (/debug): the filter core started in the console
// for diagnosis, stopped after one character of input.
#pragma once

// Starts the core, waits for input, stops it and waits at most 60 passes of a second
// for its worker. Always 0.
int RunConsole();
