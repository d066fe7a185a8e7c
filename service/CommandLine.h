// The roads of SentrelSrv.exe, chosen from its first argument.
#pragma once

enum class Road { Service, RegServer, UnregServer, Debug, Usage };

// Only the first argument counts. Switches compare whole and case-insensitively
// (only A-Z fold), in the order /RegServer, /UnregServer, /debug; any other argument
// that begins with "/" asks for the usage line; none, or one without "/", is the
// service run.
Road ChooseRoad(int argc, const wchar_t* const* argv);
