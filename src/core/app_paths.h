// Where the program lives. The configuration file, the daily log and the
// default data folders sit beside the executable; an operator whose program
// folder is read-only points VT_BASE_DIR at another folder.
#pragma once

#include <string>

// Full path of the running executable (from /proc/self/exe).
std::string ProgramPath();
// The base folder, ending in '/': $VT_BASE_DIR when set, else the
// executable's folder.
std::string ProgramFolder();
// The executable's file name without its folder ("ZorvelCentralServer").
std::string ProgramName();
