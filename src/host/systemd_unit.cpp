// The service application's registration with systemd: the unit file it
// writes on install and removes on uninstall.
#include "host/service_application.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "core/app_paths.h"
#include "core/cp1251.h"
#include "core/files.h"
#include "core/format.h"
#include "host/console_out.h"

// ---- Registration with systemd -------------------------------------------

std::string TServiceApplication::UnitFolder() {
    const char* dir = std::getenv("VT_SYSTEMD_UNIT_DIR");
    std::string d = dir && *dir ? dir : "/etc/systemd/system";
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    return d;
}

std::string TServiceApplication::UnitName() { return ProgramName() + ".service"; }

namespace {

// One word of a unit file's command line: "%" and "$" are doubled, and a
// word with blanks, quotes or backslashes is quoted.
std::string UnitWord(const std::string& w) {
    std::string out;
    bool quote = w.empty();
    for (char c : w) {
        if (c == '%') out += "%%";
        else if (c == '$') out += "$$";
        else if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
            quote = true;
        } else {
            if (c == ' ' || c == '\t' || c == '\'' || c == ';') quote = true;
            out += c;
        }
    }
    return quote ? "\"" + out + "\"" : out;
}

std::string UnitValue(const std::string& v) {
    std::string out;
    for (char c : v) {
        if (c == '%') out += "%%";
        else if (c == '\n' || c == '\r') out += ' ';
        else out += c;
    }
    return out;
}

}  // namespace

std::string TServiceApplication::UnitText(const TCommandLine& cmd) const {
    std::string names;
    for (auto& s : services_) names += (names.empty() ? "" : ", ") + s->DisplayName();
    std::string exec = UnitWord(ProgramPath());
    if (cmd.ServicesGiven) {
        std::string list;
        for (auto& n : cmd.Services) list += (list.empty() ? "" : ",") + n;
        exec.append(" ").append(UnitWord("--services=" + list));
    }
    std::string folder = ProgramFolder();
    if (folder.size() > 1) folder.pop_back();
    std::string t;
    t += "[Unit]\n";
    t += "Description=" + UnitValue(names.empty() ? "Vantrell central server" : "Vantrell central server: " + names) + "\n";
    t += "After=network.target mariadb.service\n\n";
    t += "[Service]\n";
    t += "Type=simple\n";
    t += "ExecStart=" + exec + "\n";
    t += "WorkingDirectory=" + UnitValue(folder) + "\n";
    if (const char* base = std::getenv("VT_BASE_DIR"); base && *base)
        t += "Environment=" + UnitWord(std::string("VT_BASE_DIR=") + base) + "\n";
    t += "KillSignal=SIGTERM\n";
    t += "Restart=on-failure\n";
    t += "RestartSec=60\n";
    // The FTP port of the configuration defaults to 21.
    t += "AmbientCapabilities=CAP_NET_BIND_SERVICE\n\n";
    t += "[Install]\n";
    t += "WantedBy=multi-user.target\n";
    return Cp1251ToUtf8(t);
}

int TServiceApplication::Install(const TCommandLine& cmd) {
    const std::string folder = UnitFolder();
    const std::string path = folder + "/" + UnitName();
    std::string error;
    {
        std::string text = UnitText(cmd);
        std::ofstream f(path, std::ios::binary | std::ios::trunc);
        if (f) f.write(text.data(), static_cast<std::streamsize>(text.size()));
        if (f) f.close();
        if (!f) error = Format("cannot write %s: %s", {path, std::string(std::strerror(errno))});
    }
    if (error.empty()) {
        // Started at boot, as "systemctl enable" would arrange it.
        std::string wants = folder + "/multi-user.target.wants";
        std::string link = wants + "/" + UnitName();
        ForceDirectories(wants);
        ::unlink(link.c_str());
        if (::symlink(path.c_str(), link.c_str()) != 0)
            error = Format("cannot create %s: %s", {link, std::string(std::strerror(errno))});
    }
    if (!error.empty())
        return ReportUnitFailure("Service \"%s\" could not be installed: %s",
                                 "The services could not be installed: ", error);
    if (!cmd.Silent)
        WriteOut(stdout, Format("The services were installed successfully (%s). Run \"systemctl daemon-reload\" "
                                "to make systemd read it.", {path}));
    return esOk;
}

int TServiceApplication::ReportUnitFailure(const char* perService, const char* forAll, const std::string& error) {
    for (auto& s : services_) WriteOut(stderr, Format(perService, {s->DisplayName(), error}));
    if (services_.empty()) WriteOut(stderr, forAll + error);
    return esFailed;
}

int TServiceApplication::Uninstall(const TCommandLine& cmd) {
    const std::string folder = UnitFolder();
    const std::string path = folder + "/" + UnitName();
    std::string error;
    std::string link = folder + "/multi-user.target.wants/" + UnitName();
    ::unlink(link.c_str());
    if (::unlink(path.c_str()) != 0) {
        error = errno == ENOENT ? Format("%s does not exist", {path})
                                : Format("cannot remove %s: %s", {path, std::string(std::strerror(errno))});
    }
    if (!error.empty())
        return ReportUnitFailure("Service \"%s\" could not be removed: %s", "The services could not be removed: ",
                                 error);
    if (!cmd.Silent)
        WriteOut(stdout, Format("The services were removed successfully (%s). Run \"systemctl daemon-reload\" "
                                "to make systemd forget them.", {path}));
    return esOk;
}
