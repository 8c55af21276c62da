#include "replication/upload_files.h"

#include <cerrno>
#include <cstring>

#include "core/exceptions.h"

// Creates one folder level; raises EInOutError when that fails.
void CreateFolder(TEnv& env, const std::string& dir) {
    if (!env.CreateFolder(dir))
        throw EInOutError("Unable to create directory \"" + dir + "\". " + std::strerror(errno));
}

// Size of a plain file (not followed through a link); 0 when there is none.
int64_t PlainFileSize(TEnv& env, const std::string& path) {
    TFileInfo st = env.Stat(path);
    if (!st.Exists) return 0;
    if (!st.IsFile) throw EInOutError("\"" + path + "\" is not a plain file");
    return st.Size;
}
