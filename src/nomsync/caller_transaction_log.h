// Some catalogue classes commit, or start a transaction (which commits the
// open one first), on the data module they were given, while the caller may
// have a transaction of its own open there: within a confirmation that is the
// status change and the closing, committed before the central change. The
// behaviour stays; in debug mode each such place is logged.
#pragma once

class TDMBase;
class TNomenclatureObject;

// Logs, under the object's class name and when Options UseDebugMode is on,
// that step commits the transaction open on dm (nothing when none is open),
// with the object's action request id when it has one.
void LogCallerTransactionCommit(const TNomenclatureObject& obj, const TDMBase& dm, const char* step);
