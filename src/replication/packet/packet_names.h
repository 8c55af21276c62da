// Names that come out of a pharmacy's packet archive: the tables it lists
// and the fields of its packets. They become table and column names of the
// central database, so each is checked before it reaches a statement, and
// every generated identifier is back-quoted.
#pragma once

#include <string>
#include <vector>

#include "core/exceptions.h"

// An archive whose content the installer refuses (a bad name, a table it may
// not touch, a packet it cannot read). It fails that archive like any other
// error: rolled back, logged, tried again at the next pass.
VT_DECLARE_EXCEPTION(EPacketError, Exception);

// A name of one to 64 characters: a Latin letter or "_", then Latin letters,
// digits or "_" (after leading and trailing blanks are trimmed).
bool IsValidIdentifier(const std::string& name);
// Raises EPacketError "Invalid <what> name '<name>' in the archive" unless
// IsValidIdentifier; returns the trimmed name.
std::string CheckIdentifier(const std::string& name, const std::string& what);
// `name`, with any back-quote inside doubled.
std::string QuoteIdent(const std::string& name);
// The names quoted and joined by ", ".
std::string QuoteIdentList(const std::vector<std::string>& names);

// A table name whose last "_" is followed only by digits or by nothing
// (ARTICLE_12 and ARTICLE_, not ARTICLE or REPL_ITEMS): a per-pharmacy
// staging copy.
bool IsSplitTableName(const std::string& table);
// The tables of the central server itself, which no archive may replace or
// change: the pharmacies, environment variables and generators, action
// requests and their status rows, central payments, the catalogue tables and
// their update tables (NOM_UPDATE_*), the replication staging tables (REPL_*)
// and every split name. Compared without regard to case.
bool IsCentralSystemTable(const std::string& table);
