// Requests left incomplete by an earlier run of the service: an action
// request without status rows or without its staged rows (a run ended while
// it was being stored by code that did not store it as one unit) would never
// be handed out or would be handed out blank, and never closed. At service
// start each is closed as not applied and logged once.
#pragma once

#include <functional>
#include <string>

class TDMBase;

// Closes every open request (IS_PROCESSED "F") that has no status row, or
// whose class's LoadFromUpdateTable finds no staged row; nothing is applied
// centrally. A request whose type number names no catalogue class, or whose
// staged rows cannot be read, is left alone. Each closed request is reported
// through `log`. Returns how many were closed; database errors raise.
int CloseIncompleteRequests(TDMBase& dm, const std::function<void(const std::string&)>& log);
