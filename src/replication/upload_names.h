// Names of uploaded files inside a pharmacy's packet folder. Whatever a
// pharmacy sends, a file it uploads lies directly inside its own folder:
// the names are cut or cleaned so that they hold no folder part, and names
// that would still mean something else ("", ".", "..", control characters)
// are refused. Names are matched without regard to letter case inside the
// folder, so that xml12.rar and XML12.RAR are one archive.
#pragma once

#include <string>
#include <vector>

class TEnv;

// FTP: the client's name with every "\" and every "/" removed, then blanks
// (and control characters) at both ends removed.
std::string CleanFtpFileName(const std::string& name);
// TCP: the part after the last "\", "/" or ":".
std::string PacketFileNamePart(const std::string& name);
// Whether a name (already cleaned or cut) may be used inside a folder: not
// empty, not "." or "..", no "/" or "\", no control character.
bool IsSafeUploadName(const std::string& name);

// The names of the plain files of folder that equal name without regard to
// letter case (cp1251), an exact match first; empty when there is none or
// the folder is missing.
std::vector<std::string> FindFilesNoCase(TEnv& env, const std::string& folder, const std::string& name);
// The first of those, or "" when there is none.
std::string FindFileNoCase(TEnv& env, const std::string& folder, const std::string& name);
